"""The download cache: persistent next to the launcher, or in the temporary
folder with the cache switch; entries named by SHA-1 of what the server says
of the download and its URL."""
import hashlib
import os
import threading
import time
import zlib

import pytest

from conftest import stamp
from launchers import KEY, run_launcher, temp_folder, vendor_launcher
from test_workflow import INSTALLER_PATH, Installer, installer_bytes  # noqa: F401  (fixture)

LAST_MODIFIED = 'Tue, 01 Dec 2026 10:00:00 GMT'


def cache_name(url, size, last_modified):
    identity = f'{size}:[{last_modified}]:{url}' if last_modified else f'{size}:{url}'
    return hashlib.sha1(identity.encode('utf-16-le')).hexdigest().upper()


def downloads(service):
    """(range header) of every request for the installer, in order."""
    return [r.range for r in service.requests_for(INSTALLER_PATH)]


@pytest.fixture
def installer(wine, tmp_path):
    return Installer(wine, tmp_path)


@pytest.fixture
def vendor(trusted_pki, launcher, tmp_path):
    return vendor_launcher(trusted_pki, launcher, tmp_path / 'vendor')


@pytest.fixture
def persistent(vendor):
    folder = vendor.parent / 'QuilloDownloads' / 'Files'
    folder.mkdir(parents=True)
    return folder


def offer(service, installer_bytes, last_modified=LAST_MODIFIED, url_suffix=''):
    packed = service.add_installer(INSTALLER_PATH, installer_bytes, last_modified=last_modified)
    url = service.url(INSTALLER_PATH) + url_suffix
    service.set_reply(KEY, 'GET:' + url)
    return url, len(packed)


def test_persistent_folder_turns_the_cache_on_and_a_hit_skips_the_download(
        wine, vendor, persistent, service, installer, installer_bytes):
    url, size = offer(service, installer_bytes)
    assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    entry = persistent / ('-' + cache_name(url, size, LAST_MODIFIED))
    assert entry.read_bytes() == installer_bytes, 'the unpacked installer is stored'
    assert downloads(service) == [None, None], 'a size probe, then the download'
    assert sorted(p.name for p in persistent.iterdir()) == [entry.name]

    service.clear_log()
    installer.record.unlink()
    # An hour ago: Wine checks the signing certificate's validity at the
    # file's last-write time, and the test leaf is only a day old.
    an_hour_ago = time.time() - 3600
    os.utime(entry, (an_hour_ago, an_hour_ago))
    assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    assert downloads(service) == [None], 'only the size probe'
    assert installer.started
    assert time.time() - entry.stat().st_mtime < 120, 'a hit refreshes the entry'


@pytest.mark.parametrize('poisoned', ['download', 'entry'])
def test_an_installer_that_fails_the_check_leaves_no_entry_behind(wine, vendor, persistent, service, installer,
                                                                  installer_bytes, poisoned):
    # Stored (level 0) streams: the tampered and the good installer download at the same size, so
    # both carry the same cache name.
    tampered = bytearray(installer_bytes)
    tampered[len(tampered) // 2] ^= 1
    url = service.url(INSTALLER_PATH)
    service.set_reply(KEY, 'GET:' + url)
    good = zlib.compress(installer_bytes, 0)
    entry = persistent / ('-' + cache_name(url, len(good), LAST_MODIFIED))
    if poisoned == 'entry':
        entry.write_bytes(tampered)
    service.add_file(INSTALLER_PATH, zlib.compress(bytes(tampered), 0) if poisoned == 'download' else good,
                     last_modified=LAST_MODIFIED)
    result = run_launcher(wine, vendor, env=installer.env)
    assert (result.exit_code, result.stdout) == (0x80096010, b'Failed - Could not verify signature - 190\r\n')
    assert not installer.started
    assert downloads(service) == ([None, None] if poisoned == 'download' else [None])  # a hit: no download
    assert list(persistent.iterdir()) == []

    service.add_file(INSTALLER_PATH, good, last_modified=LAST_MODIFIED)
    service.clear_log()
    assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    assert installer.started
    assert downloads(service) == [None, None], 'a miss: the probe, then the download'
    assert entry.read_bytes() == installer_bytes


@pytest.mark.parametrize('last_modified', [LAST_MODIFIED, None])
def test_entry_names_follow_size_date_and_url(wine, vendor, persistent, service, installer, installer_bytes,
                                              tmp_path, last_modified):
    url, size = offer(service, installer_bytes, last_modified=last_modified)
    assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    first = '-' + cache_name(url, size, last_modified)
    assert [p.name for p in persistent.iterdir()] == [first]

    # Another size (the same URL and date) is another entry: the same
    # installer, stamped after its signature, is still validly signed.
    stamped = tmp_path / 'stamped.exe'
    stamped.write_bytes(installer_bytes)
    stamp(stamped, 'x' * 100)
    url, bigger_size = offer(service, stamped.read_bytes(), last_modified=last_modified)
    assert bigger_size != size
    assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    assert sorted(p.name for p in persistent.iterdir()) == sorted([first, '-' + cache_name(url, bigger_size,
                                                                                           last_modified)])


def test_download_url_is_used_exactly_as_the_reply_gives_it(wine, vendor, persistent, service, installer,
                                                            installer_bytes):
    # A reply ending in a line break: the URL keeps it (the cache name proves it).
    url, size = offer(service, installer_bytes, url_suffix='\r\n')
    assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    assert [p.name for p in persistent.iterdir()] == ['-' + cache_name(url, size, LAST_MODIFIED)]
    assert url.endswith('\r\n')


def test_cache_switch_without_the_folder_uses_the_temporary_folder(wine, vendor, service, installer,
                                                                   installer_bytes):
    url, size = offer(service, installer_bytes)
    entry = temp_folder(wine) / ('-' + cache_name(url, size, LAST_MODIFIED))
    entry.unlink(missing_ok=True)
    try:
        assert run_launcher(wine, vendor, '/cache_keep', env=installer.env).exit_code == 0
        assert entry.read_bytes() == installer_bytes
        assert not (vendor.parent / 'QuilloDownloads').exists()
        _, pending, _ = wine.command('wine', 'reg', 'query', r'HKLM\System\CurrentControlSet\Control\Session Manager',
                                     '/v', 'PendingFileRenameOperations')
        assert entry.name.encode() in pending, 'the entry is removed at the next restart'
    finally:
        entry.unlink(missing_ok=True)


def test_a_plain_file_named_files_turns_the_cache_on_and_failed_copies_are_ignored(
        wine, vendor, service, installer, installer_bytes):
    (vendor.parent / 'QuilloDownloads').mkdir()
    (vendor.parent / 'QuilloDownloads' / 'Files').write_bytes(b'not a folder')
    offer(service, installer_bytes)
    assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    assert installer.started
    assert downloads(service) == [None, None], 'the cache is on: a probe before the download'
    assert (vendor.parent / 'QuilloDownloads' / 'Files').read_bytes() == b'not a folder'


@pytest.mark.parametrize('planted', ['folder', 'folder in the temporary folder', 'entry everyone may write'])
def test_whatever_else_stands_at_an_entry_name_is_a_miss_and_the_run_installs(
        wine, vendor, service, installer, installer_bytes, trusted_pki, bin_folder, planted):
    url, size = offer(service, installer_bytes)
    name = '-' + cache_name(url, size, LAST_MODIFIED)
    if planted == 'folder in the temporary folder':
        entry, switches = temp_folder(wine) / name, ['/cache_keep']
    else:
        (vendor.parent / 'QuilloDownloads' / 'Files').mkdir(parents=True)
        entry, switches = vendor.parent / 'QuilloDownloads' / 'Files' / name, []
    try:
        if planted == 'entry everyone may write':
            # The launcher's own user owns it, but any user could have put another signed program there.
            trusted_pki.sign(bin_folder / 'demo-installer.exe', entry)
            entry.chmod(0o666)
        else:
            entry.mkdir()   # another user's folder: it can be neither read nor replaced
        result = run_launcher(wine, vendor, *switches, env=installer.env)
        assert result.exit_code == 0, result
        assert installer.started, 'the served installer ran'
        assert downloads(service) == [None, None], 'a miss: the probe, then the download'
        if entry.is_dir():
            skipped, rest = result.stdout.split(b'\r\n', 1)
            assert skipped.startswith(b'Cache skipped: could not replace ') and skipped.endswith(name.encode())
            assert rest == b'Error reading report\r\n'
        else:
            assert entry.read_bytes() == installer_bytes
            assert entry.stat().st_mode & 0o022 == 0, 'replaced by an entry nobody else may write'
            assert result.stdout == b'Error reading report\r\n'
    finally:
        if entry.is_dir():
            entry.rmdir()


def test_size_probe_that_learns_no_size_ends_the_run_with_312(wine, vendor, persistent, service, installer,
                                                                installer_bytes):
    offer(service, installer_bytes)
    service.queue_fault(INSTALLER_PATH, framing='close', body=b'')  # no length, empty body
    result = run_launcher(wine, vendor, env=installer.env)
    assert result.stdout == b'Failed - 312\r\n'
    assert not installer.started
    assert downloads(service) == [None], 'no download after a failed probe'


def test_two_launchers_storing_the_same_entry_leave_one_complete_file(wine, trusted_pki, launcher, tmp_path,
                                                                      service, installer_bytes):
    shared = tmp_path / 'shared'
    first = vendor_launcher(trusted_pki, launcher, shared)
    second = shared / 'second.exe'
    second.write_bytes(first.read_bytes())
    persistent = shared / 'QuilloDownloads' / 'Files'
    persistent.mkdir(parents=True)
    url, size = offer(service, installer_bytes)
    installers = [Installer(wine, tmp_path / f'i{n}') for n in (1, 2)]
    for each in installers:
        each.folder.mkdir()
    results = [None, None]

    def run(index, exe):
        results[index] = run_launcher(wine, exe, env=installers[index].env)

    threads = [threading.Thread(target=run, args=(0, first)), threading.Thread(target=run, args=(1, second))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [r.exit_code for r in results] == [0, 0], results
    assert [p.name for p in persistent.iterdir()] == ['-' + cache_name(url, size, LAST_MODIFIED)]
    assert next(persistent.iterdir()).read_bytes() == installer_bytes

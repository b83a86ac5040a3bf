"""What a run leaves behind: nothing, whatever the download's body holds
(zlib, gzip, trailing bytes, a corrupt, cut or empty stream, nothing) and
whether the disk fills or the check fails; nothing either when a cache copy
meets a full disk, or when the work folder is swapped for a link while the
installer runs."""
import contextlib
import os
import subprocess
import zlib

import pytest

from conftest import compress
from launchers import KEY, run_launcher, temp_folder
from wine import winpath
from test_workflow import (INSTALLER_PATH, _flip_middle_byte, held_install, installer, installer_bytes,  # noqa: F401
                           offered, vendor)

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason='mounting a small file system needs root')


@contextlib.contextmanager
def small_file_system(folder, size):
    """`folder` (emptied) on a tmpfs of `size` bytes for the duration."""
    folder.mkdir(parents=True, exist_ok=True)
    subprocess.run(['mount', '-t', 'tmpfs', '-o', f'size={size}', 'tmpfs', folder], check=True)
    try:
        yield folder
    finally:
        subprocess.run(['umount', '-l', folder], check=True)


def everything_in(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob('*'))


def corrupt_at_one_mebibyte():
    """16 MiB of stored (level 0) stream whose block header 1 MiB in is garbage."""
    body = bytearray(zlib.compress(os.urandom(16 << 20), 0))
    body[1 << 20:(1 << 20) + 70000] = b'\xff' * 70000   # covers a block header: an invalid block type
    return bytes(body)


# How the body is served, and the run's report. The installer is inflated into its file as the
# body arrives; every outcome but the served installer's own start leaves nothing behind.
OUTCOMES = {
    'zlib': (lambda exe: compress(exe, 'zlib'), ''),
    'gzip': (lambda exe: compress(exe, 'gzip'), ''),
    'trailing-bytes': (lambda exe: compress(exe, 'zlib') + b'after the end', ''),   # ignored
    'corrupt': (lambda exe: corrupt_at_one_mebibyte(), 'Failed - 86\r\n'),
    'truncated': (lambda exe: compress(exe, 'zlib')[:len(exe) // 4], 'Failed - 86\r\n'),
    'empty-body': (lambda exe: b'', 'Failed - 86\r\n'),
    'not-compressed': (lambda exe: exe, 'Failed - 86\r\n'),
    'empty-stream': (lambda exe: zlib.compress(b''), 'Failed - 343\r\n'),
    'disk-full': (lambda exe: compress(exe, 'zlib'), 'Failed - 515\r\n'),   # a short write
    'check': (lambda exe: compress(_flip_middle_byte(exe), 'zlib'), 'Failed - Could not verify signature - 190\r\n'),
    'download': (lambda exe: b'', ' - 215\r\n'),   # nothing listens where the reply points
}


@pytest.mark.parametrize('outcome', OUTCOMES)
def test_every_outcome_of_the_download_leaves_the_temporary_folder_as_it_was(wine, vendor, service, installer,
                                                                            installer_bytes, tmp_path, outcome):
    make_body, expected = OUTCOMES[outcome]
    service.add_file(INSTALLER_PATH, make_body(installer_bytes))
    if outcome == 'corrupt':   # paced: loopback's buffers would otherwise take in the whole body at once
        service.set_default_fault(INSTALLER_PATH, rate=4 << 20)
    service.set_reply(KEY, 'GET:' + (service.url(INSTALLER_PATH) if outcome != 'download'
                                     else 'https://localhost:1/setup.bin'))
    started = tmp_path / 'started.exe'
    installer.env['TESTINSTALLER_COPY_SELF'] = winpath(started)
    temp = temp_folder(wine)
    with contextlib.ExitStack() as stack:
        if outcome == 'disk-full':   # room for the work folder and half the installer
            stack.enter_context(small_file_system(temp, len(installer_bytes) // 2))
        before = everything_in(temp)
        result = run_launcher(wine, vendor, env=installer.env)
        after = everything_in(temp)
    assert result.stdout.decode().endswith(expected) and bool(expected) == (result.exit_code != 0), result
    assert started.read_bytes() == installer_bytes if not expected else not installer.started
    assert after == before
    if outcome == 'corrupt':   # seen as soon as it arrived: the rest was never fetched
        asked, = service.requests_for(INSTALLER_PATH)
        assert asked.body_sent < 8 << 20, asked.body_sent


@pytest.mark.parametrize('cache', ['persistent', 'temporary'])
def test_a_cache_copy_onto_a_full_disk_leaves_no_temporary_file(wine, vendor, offered, installer, installer_bytes,
                                                                cache):
    # Persistent: the cache folder holds less than the installer. Temporary:
    # the temporary folder holds the work folder's copy, not a second one.
    folder = vendor.parent / 'QuilloDownloads' / 'Files' if cache == 'persistent' else temp_folder(wine)
    size = len(installer_bytes) // 2 if cache == 'persistent' else len(installer_bytes) * 3 // 2
    args = () if cache == 'persistent' else ('/cache_keep',)
    with small_file_system(folder, size):
        before = everything_in(folder)
        result = run_launcher(wine, vendor, *args, env=installer.env)
        after = everything_in(folder)
    assert result.exit_code == 0, result
    assert installer.started
    assert after == before


def test_a_work_folder_swapped_for_a_link_keeps_the_links_target(wine, vendor, offered, installer, tmp_path):
    outside = tmp_path / 'outside'
    outside.mkdir()
    (outside / 'keep.txt').write_text('keep')
    run, work, released = held_install(wine, vendor, installer, tmp_path)
    work.rename(tmp_path / 'moved-away')
    work.symlink_to(outside, target_is_directory=True)   # another process of the user's swapped it
    released.touch()
    assert run.result().exit_code == 0
    assert (outside / 'keep.txt').read_text() == 'keep'
    assert sorted(p.name for p in outside.iterdir()) == ['keep.txt']
    work.unlink(missing_ok=True)


"""Nothing placed beside the launcher and no peer can turn it against its
user: DLLs planted in its folder and in the current folder, other users of a
shared machine (its work folder is private, their cache entries are never
used), a download server that asks for proxy credentials, a "GOTO:" link that
tries to break out of the browser's argument, and an installer's report of any
size."""
import os
import re
import shutil
import stat

import pytest

import pe
from conftest import stamp
from launchers import E_FAIL, KEY, run_launcher, temp_folder, until
from test_download_cache import LAST_MODIFIED, cache_name, downloads, offer
from test_interactive import interactive  # noqa: F401  (fixture)
from test_launcher_file import PRODUCT
from test_workflow import INSTALLER_PATH, held_install, installer, installer_bytes, offered, vendor  # noqa: F401
from wine import winpath

# Windows' known DLLs (always taken from the system folder) that the launcher imports.
KNOWN_DLLS = {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'shell32.dll', 'rpcrt4.dll', 'advapi32.dll', 'msvcrt.dll'}
LOADED_ON_FIRST_USE = ('wininet', 'urlmon', 'wintrust', 'crypt32')
HOSTILE_PAGE = 'https://example.invalid/help page" --new-window "x'
HOSTILE_LINK = f'https://example.invalid/help%20page%22%20--new-window%20%22x?key={KEY}'


@pytest.fixture
def planted(bin_folder, vendor, tmp_path):
    """The launcher's folder and a current folder, each holding planted.dll under the name of every
    DLL the launcher loads on first use, and the environment that makes Wine prefer such a DLL to
    its own, as Windows does for every DLL that is not a known one."""
    folders = [vendor.parent, tmp_path / 'current']
    for folder in folders:
        folder.mkdir(exist_ok=True)
        for name in LOADED_ON_FIRST_USE:
            shutil.copyfile(bin_folder / 'planted.dll', folder / f'{name}.dll')
    marker = tmp_path / 'loaded.txt'
    env = {'WINEDLLOVERRIDES': ','.join(LOADED_ON_FIRST_USE) + '=n,b', 'PLANTED_MARKER': winpath(marker)}
    return folders, marker, env


def test_the_launcher_imports_only_known_dlls():
    assert {name.lower() for name in pe.imported_dlls(PRODUCT.read_bytes())} <= KNOWN_DLLS


def test_planted_dlls_are_never_loaded(wine, vendor, offered, installer, planted, bin_folder):
    (launcher_folder, current), marker, env = planted
    # The plant works: a program that imports one of these DLLs directly loads it from its folder.
    naive = shutil.copy(bin_folder / 'trustroot.exe', launcher_folder)
    wine.run(naive, env=env)
    assert marker.read_text().lower().split() == [winpath(launcher_folder / 'crypt32.dll').lower()]
    marker.unlink()

    result = run_launcher(wine, vendor, env=dict(installer.env, **env), cwd=current)
    assert result.exit_code == 0, result
    assert installer.started
    assert not marker.exists(), marker.read_text()


def sids_of(descriptor):
    """Owner and the principals of the access list in a security descriptor string."""
    owner = re.match(r'O:([^:]+?)(?:[GDS]:|$)', descriptor)[1]
    return owner, {ace.split(';')[5] for ace in re.findall(r'\(([^)]*)\)', descriptor)}


def test_the_work_folder_is_private(wine, vendor, offered, installer, tmp_path):
    access = tmp_path / 'access.txt'
    installer.env['TESTINSTALLER_ACCESS'] = winpath(access)
    run, work, released = held_install(wine, vendor, installer, tmp_path)
    assert stat.S_IMODE(work.stat().st_mode) & 0o007 == 0, oct(work.stat().st_mode)   # others: nothing
    released.touch()
    assert run.result().exit_code == 0
    user, principals = sids_of(access.read_text())
    # (Wine keeps the SYSTEM and user entries of a stored access list and drops the Administrators
    # one; it gives new files an access list of their own instead of the inherited one.)
    assert {user, 'SY'} <= principals <= {user, 'SY', 'BA'}, access.read_text()


@pytest.fixture(params=['persistent', 'temporary'])
def cache(request, vendor, wine):
    """The cache folder, and the launcher's arguments that use it."""
    if request.param == 'persistent':
        folder = vendor.parent / 'QuilloDownloads' / 'Files'
        folder.mkdir(parents=True)
        yield folder, ()
        return
    yield temp_folder(wine), ('/cache_keep',)


@pytest.mark.parametrize('planted', ['foreign-owner', 'hard-link'])
def test_a_cache_entry_that_another_user_planted_is_never_used(wine, vendor, service, installer, installer_bytes,
                                                              cache, planted, tmp_path):
    folder, args = cache
    entry = folder / ('-' + cache_name(*offer(service, installer_bytes), LAST_MODIFIED))
    # Another program the vendor signed, as valid as the served one: any other user can write it.
    other = tmp_path / 'other.exe'
    other.write_bytes(installer_bytes)
    stamp(other, 'another program')
    other_bytes = other.read_bytes()
    if planted == 'foreign-owner':
        shutil.copyfile(other, entry)
        os.chown(entry, 65534, 65534)
    else:
        os.link(other, entry)   # owned by the user, but a name of a file kept elsewhere
    try:
        installer.env['TESTINSTALLER_COPY_SELF'] = winpath(tmp_path / 'started.exe')
        assert run_launcher(wine, vendor, *args, env=installer.env).exit_code == 0
        assert downloads(service) == [None, None], 'a miss: the probe, then the download'
        assert (tmp_path / 'started.exe').read_bytes() == installer_bytes
        assert entry.stat().st_uid == os.getuid() and entry.stat().st_nlink == 1
        assert entry.read_bytes() == installer_bytes, "replaced by the launcher's own entry"
        assert other.read_bytes() == other_bytes

        service.clear_log()
        assert run_launcher(wine, vendor, *args, env=installer.env).exit_code == 0
        assert downloads(service) == [None], "the launcher's own entry is a hit: the probe only"
    finally:
        entry.unlink(missing_ok=True)


@pytest.mark.parametrize('mode', ['silent', 'interactive'])
def test_a_download_servers_407_gets_no_credentials_and_no_dialog(wine, vendor, offered, installer, interactive,
                                                                  mode):
    offered.set_default_fault(INSTALLER_PATH, status=407, extra_headers=[('Proxy-Authenticate', 'Basic realm="x"')])
    args = ('/proxyauth', 'alice', 's3cret')
    if mode == 'silent':
        result = run_launcher(wine, vendor, *args, env=installer.env)
        # The 407 page is read like any other body, and is no compressed installer.
        assert (result.exit_code, result.stdout) == (E_FAIL, b'Failed - 86\r\n')
    else:
        run = interactive(vendor, env=installer.env)   # no dialog: the failure box comes first
        assert run.message_box().endswith(' [0x80004005]; ; 86')
        assert run.finish().exit_code == E_FAIL
    asked = offered.requests_for(INSTALLER_PATH)
    assert len(asked) == 1
    assert not any(r.header('proxy-authorization') or r.header('authorization') for r in asked)
    assert not installer.started


@pytest.mark.parametrize('mode', ['silent', 'interactive'])
def test_goto_link_reaches_the_browser_as_one_encoded_argument(wine, vendor, service, installer, interactive,
                                                               browser, mode):
    service.set_reply(KEY, 'GOTO:' + HOSTILE_PAGE + '\r\n')
    if mode == 'silent':
        result = run_launcher(wine, vendor, env=installer.env)
        assert result.stdout == (f'Failed - Please run in non-silent mode or go to {HOSTILE_LINK} for more '
                                 f'information - 266\r\n').encode()
        assert browser.opened_urls() == []
        return
    assert interactive(vendor).finish().exit_code == 0
    assert until(browser.opened_urls)
    assert browser.opened_argument_lists() == [[HOSTILE_LINK]]


@pytest.mark.parametrize('size, relayed', [(4 << 20, True), (80 << 20, False)], ids=['4MiB', '80MiB'])
def test_installer_report_is_relayed_up_to_its_bound(wine, vendor, offered, installer, size, relayed):
    line = b'line of the installer report, long enough to fill a megabyte\r\n'
    text = (line * (size // len(line) + 1))[:size]
    result = run_launcher(wine, vendor, env=installer.reports(text).env)
    assert result.exit_code == 0
    assert result.stdout == (text if relayed else b'Error reading report\r\n')

"""A silent run from the service request to the finished installer, with
the real launcher, the reference service and really signed installers."""
import re

import pytest

from launchers import (E_FAIL, KEY, no_page_opened, run_launcher, until, vendor_launcher, windows_to_host,
                       work_folders)
from wine import winpath

INSTALLER_PATH = '/files/setup.bin'
ATTEMPTS_PER_TRANSFER = 10   # a download's attempts before it fails, the first included


@pytest.fixture(scope='module')
def installer_bytes(trusted_pki, bin_folder, tmp_path_factory):
    """The test installer, signed by the expected publisher."""
    signed = trusted_pki.sign(bin_folder / 'testinstaller.exe', tmp_path_factory.mktemp('installer') / 'good.exe')
    return signed.read_bytes()


@pytest.fixture
def vendor(trusted_pki, launcher, tmp_path):
    """A signed, stamped launcher alone in a folder of its own."""
    return vendor_launcher(trusted_pki, launcher, tmp_path / 'vendor')


@pytest.fixture
def offered(service, installer_bytes):
    """The service offers the signed test installer for KEY."""
    service.add_installer(INSTALLER_PATH, installer_bytes)
    service.set_reply(KEY, 'GET:' + service.url(INSTALLER_PATH))
    return service


class Installer:
    """What the test installer saw, and how it is told to behave."""

    def __init__(self, wine, folder):
        self.wine = wine
        self.folder = folder
        self.record = folder / 'record.txt'
        self.env = {'TESTINSTALLER_RECORD': winpath(self.record)}

    def reports(self, data: bytes):
        source = self.folder / 'report-to-write.bin'
        source.write_bytes(data)
        self.env['TESTINSTALLER_REPORT'] = winpath(source)
        return self

    def exits(self, code):
        self.env['TESTINSTALLER_EXIT'] = str(code)
        return self

    @property
    def started(self):
        return self.record.exists()

    def lines(self):
        return [bytes.fromhex(line).decode('utf-8') for line in self.record.read_text().splitlines()]

    @property
    def command_line(self):
        return self.lines()[0]

    @property
    def argv(self):
        return self.lines()[1:]


@pytest.fixture
def installer(wine, tmp_path):
    return Installer(wine, tmp_path)


@pytest.mark.guest
def test_silent_install_passes_everything_on_and_cleans_up(wine, vendor, offered, installer, installer_bytes,
                                                           tmp_path):
    installer.reports(b'Installed.\r\n')
    installer.env['TESTINSTALLER_COPY_SELF'] = winpath(tmp_path / 'started.exe')
    before = set(work_folders(wine))
    result = run_launcher(wine, vendor, '/proxyauth', 'proxy user', 'pa"ss', 'pass through', 'C:\\dir\\',
                          '/norestart', env=installer.env)
    assert result.exit_code == 0, result
    assert result.stdout == b'Installed.\r\n'
    assert (tmp_path / 'started.exe').read_bytes() == installer_bytes

    argv = installer.argv
    report_path = argv[3]
    assert re.fullmatch(r'C:\\users\\root\\Temp\\[0-9a-f-]{36}\\report\.txt', report_path), report_path
    assert argv == ['Quillo.exe', KEY, '/silent', report_path, '/fullpath', winpath(vendor), '/proxyauth',
                    'proxy user', 'pa"ss', 'pass through', 'C:\\dir\\', '/norestart']
    assert installer.command_line == (
        f'Quillo.exe "{KEY}" /silent "{report_path}" /fullpath "{winpath(vendor)}" '
        f'/proxyauth "proxy user" "pa\\"ss" "pass through" "C:\\dir\\\\" "/norestart"')
    # (A run may also remove what a killed run left, such as the crash test's folder.)
    assert set(work_folders(wine)) <= before, 'the work folder is removed'
    assert not windows_to_host(wine, report_path).parent.exists()


@pytest.mark.parametrize('written, relayed', [
    (b'Caf\xe9 install\xe9\r\nline 2\r\nline 3', 'Café installé\r\nline 2\r\nline 3'.encode()),  # ANSI to UTF-8
    (b'before\0after', b'before'),
    (b'\x80 euro', '€ euro'.encode()),
    (b'', b'Error reading report\r\n'),
    (None, b'Error reading report\r\n'),
], ids=['ansi-multiline', 'zero-byte', 'euro', 'empty-file', 'no-file'])
def test_installer_report_is_relayed_byte_for_byte(wine, vendor, offered, installer, written, relayed):
    if written is not None:
        installer.reports(written)
    result = run_launcher(wine, vendor, env=installer.env)
    assert result.exit_code == 0
    assert result.stdout == relayed


@pytest.mark.parametrize('exit_code, expected, text', [
    (1, 0x80070001, ' - Invalid function.'), (0x80070005, 0x80070005, ' - Access denied.'),
    (5, 0x80070005, ' - Access denied.'), (0x12345, 0x80072345, ''),   # Wine's texts; none for 0x80072345
])
def test_installer_exit_code_becomes_the_outcome(wine, vendor, offered, installer, exit_code, expected, text):
    result = run_launcher(wine, vendor, env=installer.exits(exit_code).env)
    assert result.exit_code == expected
    assert result.stdout == f'Failed - The installer process returned an error{text} - 466\r\n'.encode()


def test_failed_installer_report_is_still_relayed_unchanged(wine, vendor, offered, installer):
    result = run_launcher(wine, vendor, env=installer.reports(b'Disk full.').exits(3).env)
    assert result.exit_code == 0x80070003
    assert result.stdout == b'Disk full.'


def test_request_url_carries_key_version_compressed_and_machine_id(wine, vendor, offered, installer):
    run_launcher(wine, vendor, env=installer.env)
    asked = offered.requests_for('/getinstaller')
    assert len(asked) == 1
    assert asked[0].method == 'GET'
    assert re.fullmatch(f'key={KEY}&version=0%2C1%2C0%2C377&compressed=1&id=[0-9A-F]{{40}}', asked[0].query), \
        asked[0].query
    run_launcher(wine, vendor, env=installer.env)
    assert offered.requests_for('/getinstaller')[1].query == asked[0].query, 'the same identifier every run'


@pytest.mark.parametrize('reply', [
    'get:{url}', ' GET:{url}', 'GETX', '', 'GOTO', 'Hello',
    # a control character before the reply's own line end: no header injection, nothing to the shell
    'GET:{url}?a=1\r\nX-Injected: yes', 'GET:{url}\r\n\r\n', 'GET:{url}\x7f', 'GOTO:https://example.test/\tpage',
])
def test_reply_without_a_known_prefix_is_invalid(wine, vendor, service, installer, browser, reply):
    service.set_reply(KEY, reply.format(url=service.url(INSTALLER_PATH)))
    result = run_launcher(wine, vendor, env=installer.env)
    assert result.stdout == b'Failed - Invalid response - 274\r\n'
    assert result.exit_code == E_FAIL
    assert service.requests_for(INSTALLER_PATH) == [] and no_page_opened(browser)
    assert not installer.started


def test_reply_is_cut_at_its_first_zero_byte(wine, vendor, offered, installer):
    offered.set_reply(KEY, b'GET:' + offered.url(INSTALLER_PATH).encode() + b'\0trailing garbage')
    assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    assert installer.started


def test_empty_download_url_fails_to_crack(wine, vendor, service, installer):
    service.set_reply(KEY, 'GET:')
    result = run_launcher(wine, vendor, env=installer.env)
    assert result.exit_code == 0x80070057  # what cracking an empty text gives
    assert result.stdout == b'Failed - Invalid parameter. - 93\r\n'


def test_goto_in_silent_mode_fails_with_the_whole_link(wine, vendor, service, installer, browser):
    service.set_reply(KEY, 'GOTO:https://example.test/choose?lang=en')
    result = run_launcher(wine, vendor, env=installer.env)
    link = f'https://example.test/choose?lang=en?key={KEY}'
    assert result.stdout == (f'Failed - Please run in non-silent mode or go to {link} for more information'
                             f' - 266\r\n').encode()
    assert result.exit_code == E_FAIL
    assert no_page_opened(browser)


@pytest.mark.parametrize('page', ['file:///C:/windows/system32/calc.exe', 'C:\\windows\\notepad.exe', 'calc',
                                  '\\\\server\\share\\setup.exe', 'javascript:alert(1)'])
def test_goto_with_anything_but_a_web_link_is_invalid(wine, vendor, service, installer, browser, page):
    service.set_reply(KEY, 'GOTO:' + page)
    result = run_launcher(wine, vendor, env=installer.env)
    assert result.stdout == b'Failed - Invalid response - 274\r\n'
    assert no_page_opened(browser)


def _flip_middle_byte(data: bytes) -> bytes:
    tampered = bytearray(data)
    tampered[len(tampered) // 2] ^= 0x40
    return bytes(tampered)


def test_tampered_installer_is_never_started(wine, vendor, service, installer, installer_bytes):
    service.add_installer(INSTALLER_PATH, _flip_middle_byte(installer_bytes))
    service.set_reply(KEY, 'GET:' + service.url(INSTALLER_PATH))
    result = run_launcher(wine, vendor, env=installer.env)
    assert result.exit_code == 0x80096010   # which has no text under Wine
    assert result.stdout == b'Failed - Could not verify signature - 190\r\n'
    assert not installer.started


@pytest.mark.parametrize('signer', ['other-subject', 'other-issuer'])
def test_installer_of_another_publisher_is_never_started(wine, vendor, service, installer, trusted_pki,
                                                         bin_folder, tmp_path, signer):
    other = trusted_pki.sign(bin_folder / 'testinstaller.exe', tmp_path / f'{signer}.exe', signer)
    service.add_installer(INSTALLER_PATH, other.read_bytes())
    service.set_reply(KEY, 'GET:' + service.url(INSTALLER_PATH))
    result = run_launcher(wine, vendor, env=installer.env)
    assert result.stdout == b'Failed - Invalid certificate information - 210\r\n'
    assert result.exit_code == E_FAIL
    assert not installer.started


def test_installer_of_a_self_made_chain_is_never_started(wine, vendor, service, installer, trusted_pki,
                                                         bin_folder, tmp_path):
    # A SHA-256 leaf under an untrusted root, its names right: Wine's trust provider alone accepts it.
    forged = trusted_pki.sign(bin_folder / 'testinstaller.exe', tmp_path / 'forged.exe', 'untrusted-root-sha256')
    service.add_installer(INSTALLER_PATH, forged.read_bytes())
    service.set_reply(KEY, 'GET:' + service.url(INSTALLER_PATH))
    result = run_launcher(wine, vendor, env=installer.env)
    assert (result.exit_code, result.stdout) == (0x800B0109, b'Failed - Could not verify signature - 190\r\n')
    assert not installer.started


def held_install(wine, vendor, installer, tmp_path):
    """A silent run whose installer waits until `released` appears; returns the run, the
    host path of its work folder and `released`."""
    released = tmp_path / 'released'
    run = wine.spawn(vendor, '/silent', '.', env=dict(installer.env, TESTINSTALLER_WAIT_FOR=winpath(released)))
    assert until(lambda: installer.started and len(installer.record.read_bytes().splitlines()) > 4, 60)  # whole
    return run, windows_to_host(wine, installer.argv[3]).parent, released


def test_work_folder_removal_never_follows_a_link(wine, vendor, offered, installer, tmp_path):
    outside, empty = tmp_path / 'outside', tmp_path / 'empty'
    outside.mkdir()
    empty.mkdir()
    (outside / 'keep.txt').write_text('keep')
    run, work, released = held_install(wine, vendor, installer, tmp_path)
    (work / 'link').symlink_to(outside, target_is_directory=True)   # seen by Windows code as a directory link
    (work / 'empty-link').symlink_to(empty, target_is_directory=True)
    released.touch()
    assert run.result().exit_code == 0
    assert (outside / 'keep.txt').read_text() == 'keep' and empty.is_dir()
    # Everything else is gone. (Wine opens such a link's target even when asked for the link itself,
    # so the links cannot be removed safely there and stay; Windows removes them and the folder.)
    assert sorted(p.name for p in work.iterdir()) == ['empty-link', 'link']


def test_command_line_longer_than_a_process_takes_fails_with_432(wine, vendor, offered, installer):
    # 32 arguments that fit the launcher's own command line (about 32,700 characters) but, with the
    # key, the report path and the launcher's path added, not the installer's.
    length = (32700 - len(winpath(vendor)) - 12) // 32 - 1
    result = run_launcher(wine, vendor, *['x' * length] * 32, env=installer.env)
    assert (result.exit_code, result.stdout) == (0x800700CE, b'Failed - File name is too long. - 432\r\n')
    assert not installer.started


def test_unsigned_installer_is_never_started(wine, vendor, service, installer, bin_folder):
    service.add_installer(INSTALLER_PATH, (bin_folder / 'testinstaller.exe').read_bytes())
    service.set_reply(KEY, 'GET:' + service.url(INSTALLER_PATH))
    result = run_launcher(wine, vendor, env=installer.env)
    assert result.exit_code == 0x800B0100
    assert not installer.started


@pytest.mark.guest
def test_a_download_cut_twice_resumes_into_the_same_stream_and_installs_byte_exact(wine, vendor, service, installer,
                                                                                   installer_bytes, tmp_path):
    packed = service.add_installer(INSTALLER_PATH, installer_bytes, compression='gzip')
    service.set_reply(KEY, 'GET:' + service.url(INSTALLER_PATH))
    third = len(packed) // 3
    service.queue_fault(INSTALLER_PATH, close_after=third)               # as a killed server process closes
    service.queue_fault(INSTALLER_PATH, close_after=third, reset=True)   # then a reset
    installer.env['TESTINSTALLER_COPY_SELF'] = winpath(tmp_path / 'started.exe')
    assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    ranges = [r.range for r in service.requests_for(INSTALLER_PATH)]
    assert ranges[:2] == [None, f'bytes={third}-{len(packed) - 1}'], ranges
    # (Bytes in flight when the reset came may be lost, under emulation all of
    # them: the next range starts where the data ended.)
    resumed_at = int(re.fullmatch(rf'bytes=(\d+)-{len(packed) - 1}', ranges[2])[1])
    assert len(ranges) == 3 and third <= resumed_at <= 2 * third, ranges
    assert (tmp_path / 'started.exe').read_bytes() == installer_bytes


@pytest.mark.guest
def test_a_declared_size_above_4_gib_is_asked_for_whole_and_never_wraps(wine, vendor, service, installer,
                                                                       installer_bytes):
    # Past 2**32 a size no longer fits the 32 bits of the product's size_t and
    # DWORD: wrapped, this declared size would make the body sent look whole.
    packed = service.add_installer(INSTALLER_PATH, installer_bytes)
    service.set_reply(KEY, 'GET:' + service.url(INSTALLER_PATH))
    declared = 2**32 + len(packed)
    service.queue_fault(INSTALLER_PATH, content_length=str(declared))   # then the connection closes
    before = set(work_folders(wine))
    result = run_launcher(wine, vendor, env=installer.env)
    assert result.exit_code == E_FAIL, result
    assert result.stdout == b'Failed - 416 - 306\r\n'
    assert not installer.started
    assert set(work_folders(wine)) <= before
    # The rest was asked for, exactly; the service has nothing beyond what it sent (416).
    ranges = [r.range for r in service.requests_for(INSTALLER_PATH)]
    assert ranges == [None] + [f'bytes={len(packed)}-{declared - 1}'] * (ATTEMPTS_PER_TRANSFER - 1), ranges

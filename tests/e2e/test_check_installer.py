"""tools/publisher/check-installer against installers really signed with the test PKI:
each way an upload goes wrong gets its own line and exit status. Needs
osslsigncode and openssl, not Wine."""
import datetime
import subprocess
import types
import zlib

import pytest

from conftest import ISSUER, PUBLISHER, TOOLS, load_tool


def expiry_day(pki, signer):
    """The day the signing set's leaf expires, as openssl reads it."""
    end = subprocess.run(['openssl', 'x509', '-noout', '-enddate', '-in', pki.path(f'sign-{signer}.pem')],
                         capture_output=True, text=True, check=True).stdout.strip().split('=', 1)[1]
    return datetime.datetime.strptime(end, '%b %d %H:%M:%S %Y %Z').date().isoformat()


def flip_a_byte(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 1
    path.write_bytes(data)


# name: (signer or None, time-stamped, change after signing, compressed), exit status, line
CASES = {
    'good': (('good', True, None, True), 0, 'ok'),
    'another-publisher': (('other-subject', True, None, True), 1,
                          f"refused: signed by 'Other Systems Inc.', not by {PUBLISHER!r} (210)"),
    'another-issuer': (('other-issuer', True, None, True), 1,
                       f"refused: its certificate was issued by 'Other ObjectSign CA', not by {ISSUER!r} (210)"),
    'attackers-own-chain': (('untrusted-root', True, None, True), 1,
                            'refused: the signature does not verify against the trusted certificates: '),
    'tampered': (('good', True, flip_a_byte, True), 1,
                 'refused: the file does not match its signature: it was changed after signing (190)'),
    'unsigned': ((None, False, None, True), 1, 'refused: no Authenticode signature (190)'),
    'not-compressed': (('good', True, None, False), 1, 'refused: not a zlib or gzip stream, or a corrupt one (86)'),
    'no-time-stamp': (('good', False, None, True), 0, 'ok'),
}


@pytest.mark.parametrize('name', CASES)
def test_each_upload_gets_its_verdict(pki, bin_folder, tmp_path, name):
    (signer, time_stamped, change, compressed), status, line = CASES[name]
    installer = tmp_path / 'installer.exe'
    if signer:
        pki.sign(bin_folder / 'testinstaller.exe', installer, signer, time_stamped)
    else:
        installer.write_bytes((bin_folder / 'testinstaller.exe').read_bytes())
    if change:
        change(installer)
    served = tmp_path / 'setup.bin'
    served.write_bytes(zlib.compress(installer.read_bytes()) if compressed else installer.read_bytes())
    done = subprocess.run([TOOLS / 'check-installer', '--ca', pki.path('root.pem'), served], capture_output=True,
                          text=True)
    verdict, *warnings = done.stdout.splitlines()
    assert (done.returncode, done.stderr) == (status, '')
    assert verdict.startswith(f'{served}: {line}') and verdict.endswith(')' if status else 'ok'), verdict
    expected = [f'{served}: warning: the signature has no time stamp: the launcher refuses this installer after '
                f'{expiry_day(pki, signer)}, when its signing certificate expires; sign with a time stamp'] \
        if name == 'no-time-stamp' else []
    assert warnings == expected


def test_several_files_and_bad_usage(pki, tmp_path):
    (tmp_path / 'empty.bin').write_bytes(b'')
    (tmp_path / 'nothing.bin').write_bytes(zlib.compress(b''))
    (tmp_path / 'cut.bin').write_bytes(zlib.compress(b'MZ' * 1000)[:-10])
    done = subprocess.run([TOOLS / 'check-installer', '--ca', pki.path('root.pem'), *sorted(tmp_path.iterdir()),
                           tmp_path / 'missing.bin'], capture_output=True, text=True)
    assert done.returncode == 1 and done.stdout.splitlines() == [
        f'{tmp_path}/cut.bin: refused: the compressed stream is cut short (86)',
        f'{tmp_path}/empty.bin: refused: the file is empty (86)',
        f'{tmp_path}/nothing.bin: refused: it unpacks to nothing (343)',
        f'{tmp_path}/missing.bin: refused: cannot be read: No such file or directory']
    for arguments in ([], ['--ca', tmp_path / 'missing.pem', tmp_path / 'empty.bin']):
        assert subprocess.run([TOOLS / 'check-installer', *arguments], capture_output=True).returncode == 2


def test_an_installer_past_the_measured_ceiling_is_warned_of():
    checker = load_tool('check-installer')
    ceiling, time_stamped = checker.MEASURED_CEILING_MIB << 20, types.SimpleNamespace(time_stamped=True)
    assert checker.warnings_for(time_stamped, ceiling) == []
    assert checker.warnings_for(time_stamped, ceiling + 1) == [
        f'it unpacks to {ceiling + 1:,} bytes, more than the 1936 MiB of the largest installer the launcher was '
        'measured to install']

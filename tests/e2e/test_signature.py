"""The publisher check, the launcher's security boundary, on installers
really signed with osslsigncode and the test PKI. The root is trusted inside
the test prefix only. Every case runs with SHA-1-signed leaves (whose chain
Wine's trust provider checks itself) and SHA-256-signed ones (whose chain only
the launcher's own check refuses under Wine)."""
import re
import shutil

import pytest

import pe
from conftest import stamp
from wine import winpath

E_FAIL = 0x80004005
TRUST_E_NOSIGNATURE = 0x800B0100
TRUST_E_BAD_DIGEST = 0x80096010
CERT_E_UNTRUSTEDROOT = 0x800B0109
CERT_E_EXPIRED = 0x800B0101


@pytest.fixture(scope='module', params=['sha1', 'sha256'])
def installers(request, trusted_pki, bin_folder, tmp_path_factory):
    """The test installer signed with each signing set (leaves of one digest), and unsigned."""
    suffix = '' if request.param == 'sha1' else '-sha256'
    folder = tmp_path_factory.mktemp('signed')
    source = bin_folder / 'testinstaller.exe'
    made = {'unsigned': folder / 'unsigned.exe'}
    shutil.copyfile(source, made['unsigned'])
    for signer in ('good', 'other-issuer', 'other-subject', 'subject-case', 'subject-space', 'expired',
                   'untrusted-root'):
        made[signer] = trusted_pki.sign(source, folder / f'{signer}.exe', signer + suffix)
    return made


def verify(wine, bin_folder, path, *extra):
    result = wine.run(bin_folder / 'verify-publisher.exe', winpath(path), *extra)
    first = result.stdout.decode('utf-8').splitlines()[0]
    match = re.fullmatch(r'hr=0x([0-9a-f]{8}) code=(-?\d+) message=(.*)', first)
    assert match, result
    hr, code, message = int(match[1], 16), int(match[2]), match[3]
    assert result.exit_code == (0 if hr == 0 else hr)
    return hr, code, message, result.stdout.decode('utf-8')


def test_correctly_signed_installer_passes(wine, bin_folder, installers):
    assert verify(wine, bin_folder, installers['good'])[:3] == (0, 0, '')


def test_stamped_after_the_signature_still_passes(wine, bin_folder, installers, tmp_path):
    stamped = stamp(shutil.copyfile(installers['good'], tmp_path / 'stamped.exe'), '0123456789abcdef' * 2 + 'abcdef01')
    assert verify(wine, bin_folder, stamped)[:3] == (0, 0, '')


def test_unsigned_file_is_refused_with_the_trust_status(wine, bin_folder, installers):
    assert verify(wine, bin_folder, installers['unsigned'])[:3] == (TRUST_E_NOSIGNATURE, 190,
                                                                    'Could not verify signature')


def _tampered(source, target, where):
    data = bytearray(source.read_bytes())
    sections = pe.sections(data)
    if where == 'code':
        offset, size = sections['.text']
        position = offset + size // 2
    elif where == 'resources':
        offset, size = sections['.rsrc']
        position = offset + size // 3
    else:  # the headers: the file header's time stamp is part of the signed image
        position = pe.time_date_stamp_offset(data)
    data[position] ^= 0x01
    target.write_bytes(data)
    return target


@pytest.mark.parametrize('where', ['code', 'resources', 'headers'])
def test_one_byte_changed_after_signing_is_refused(wine, bin_folder, installers, tmp_path, where):
    tampered = _tampered(installers['good'], tmp_path / f'{where}.exe', where)
    hr, code, message, _ = verify(wine, bin_folder, tampered)
    assert (code, message) == (190, 'Could not verify signature')
    assert hr == TRUST_E_BAD_DIGEST


@pytest.mark.parametrize('signer, status', [('untrusted-root', CERT_E_UNTRUSTEDROOT), ('expired', CERT_E_EXPIRED)])
def test_chain_failures_are_refused_with_their_status(wine, bin_folder, installers, signer, status):
    assert verify(wine, bin_folder, installers[signer])[:3] == (status, 190, 'Could not verify signature')


@pytest.mark.parametrize('signer', ['other-subject', 'subject-case', 'subject-space', 'other-issuer'])
def test_any_other_publisher_or_issuer_name_is_refused(wine, bin_folder, installers, signer):
    assert verify(wine, bin_folder, installers[signer])[:3] == (E_FAIL, 210, 'Invalid certificate information')


def test_repeated_checks_leak_no_handles_and_no_memory(wine, bin_folder, installers, record_property):
    for name in ('good', 'other-subject'):
        output = verify(wine, bin_folder, installers[name], '--repeat', '2000')[3]
        numbers = re.search(r'handles=(\d+)->(\d+) private=(\d+)->(\d+) first_ms=([\d.]+) mean_ms=([\d.]+)', output)
        assert numbers, output
        handles_before, handles_after, memory_before, memory_after = map(int, numbers.groups()[:4])
        record_property(f'{name}_first_ms', numbers[5])
        record_property(f'{name}_mean_ms', numbers[6])
        print(f'{name}: {output.splitlines()[-1]}')
        assert handles_after <= handles_before + 2, output
        assert memory_after <= memory_before + 256 * 1024, output

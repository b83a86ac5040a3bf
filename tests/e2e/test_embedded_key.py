"""The key each launcher carries after its signature, end to end: vendor
builds (signed, stamped) and the key switch, observed on the wire."""
import urllib.parse

import pytest

from launchers import E_FAIL, KEY, run_launcher, vendor_launcher
from wine import winpath


def sent_key(service):
    requests = service.requests_for('/getinstaller')
    assert requests, 'the service was never asked'
    return urllib.parse.parse_qs(requests[0].query, keep_blank_values=True)['key'][0]


@pytest.mark.guest
def test_signed_stamped_launcher_sends_its_stamped_key(wine, trusted_pki, launcher, service, tmp_path):
    vendor = vendor_launcher(trusted_pki, launcher, tmp_path / 'vendor')
    result = run_launcher(wine, vendor)
    assert sent_key(service) == KEY
    # The service knows no such key (404 page): not a valid reply.
    assert result.stdout == b'Failed - Invalid response - 274\r\n'
    assert result.exit_code == E_FAIL


def test_stamping_keeps_the_launcher_signature_valid(wine, trusted_pki, launcher, bin_folder, tmp_path):
    vendor = vendor_launcher(trusted_pki, launcher, tmp_path / 'vendor')
    result = wine.run(bin_folder / 'verify-publisher.exe', winpath(vendor))
    assert result.stdout.decode().splitlines()[0] == 'hr=0x00000000 code=0 message='
    assert result.exit_code == 0


def test_signed_but_unstamped_launcher_has_no_key(wine, trusted_pki, launcher, service, tmp_path):
    vendor = vendor_launcher(trusted_pki, launcher, tmp_path / 'vendor', key=None)
    result = run_launcher(wine, vendor)
    assert result.stdout == b'Failed - Could not find key - 623\r\n'
    assert result.exit_code == E_FAIL
    assert service.log == []


def test_unsigned_launcher_has_no_certificate_table(wine, launcher, service):
    result = run_launcher(wine, launcher)
    assert result.stdout == b'Failed - 581\r\n'
    assert result.exit_code == E_FAIL
    assert service.log == []


@pytest.mark.parametrize('value, expected', [
    (KEY, KEY),
    ('quillo:' + KEY, KEY),
    ('Quillo:' + KEY, 'Quillo:' + KEY),
    ('QUILLO:abc', 'QUILLO:abc'),
    ('quillo:', ''),
    ('quillo:quillo:x', 'quillo:x'),
])
def test_key_switch_bypasses_the_certificate_table(wine, launcher, service, value, expected):
    # An unsigned launcher, which has no certificate table at all.
    run_launcher(wine, launcher, '/passcode', value)
    assert sent_key(service) == expected


def test_key_switch_wins_over_the_stamped_key(wine, trusted_pki, launcher, service, tmp_path):
    vendor = vendor_launcher(trusted_pki, launcher, tmp_path / 'vendor')
    run_launcher(wine, vendor, '/PASSCODE', 'other-key')
    assert sent_key(service) == 'other-key'

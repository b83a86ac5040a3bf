"""The service request itself: certificate failures, an absent service, and
a machine without a network adapter."""
import json
import subprocess
import sys
import time

import pytest

from conftest import DEV_TOOLS, SERVICE_PORT, ReferenceService
from launchers import KEY, run_launcher, vendor_launcher
from test_workflow import INSTALLER_PATH, Installer, installer_bytes  # noqa: F401  (fixture)
from wine import winpath

CERT_DATE_INVALID = 0x80072F05    # 12037
CERT_REV_FAILED = 0x80072F19      # 12057
CERT_AUTHORITY_INVALID = 0x80072F0D  # 12045
CANNOT_CONNECT = 0x80072EFD       # 12029


@pytest.fixture
def vendor(trusted_pki, launcher, tmp_path):
    return vendor_launcher(trusted_pki, launcher, tmp_path / 'vendor')


@pytest.fixture
def installer(wine, tmp_path):
    return Installer(wine, tmp_path)


def report_parts(result):
    text = result.stdout.decode()
    assert text.startswith('Failed - ') and text.endswith('\r\n'), result
    return text[:-2].split(' - ')


# Sent without its issuer, a leaf's chain cannot be completed: Wine's WinINet reports that as
# the revocation failure (it gives 12057 for a partial chain and for revocation found offline).
@pytest.mark.parametrize('certificate, expected', [('expired', CERT_DATE_INVALID), ('leaf-only', CERT_REV_FAILED)],
                         ids=['expired', 'leaf-only'])
def test_service_certificate_date_or_revocation_failure_is_a_certificate_error(wine, vendor, trusted_pki, tmp_path,
                                                                               certificate, expected):
    cert, key = trusted_pki.tls('untrusted' if certificate == 'leaf-only' else certificate)
    if certificate == 'leaf-only':
        end = '-----END CERTIFICATE-----\n'
        (tmp_path / 'leaf.pem').write_text(cert.read_text().partition(end)[0] + end)
        cert = tmp_path / 'leaf.pem'
    with ReferenceService(cert, key, port=SERVICE_PORT):
        result = run_launcher(wine, vendor)
    assert result.exit_code == expected
    parts = report_parts(result)
    assert parts[1] == 'Certificate error'
    assert parts[-1] == '215'


def test_untrusted_service_certificate_keeps_its_own_text(wine, vendor, trusted_pki):
    with ReferenceService(*trusted_pki.tls('untrusted'), port=SERVICE_PORT):
        result = run_launcher(wine, vendor)
    assert result.exit_code == CERT_AUTHORITY_INVALID
    parts = report_parts(result)
    assert 'Certificate error' not in parts
    assert parts[-1] == '215'


def test_expired_certificate_on_the_download_keeps_its_own_text(wine, vendor, service, trusted_pki, installer,
                                                                installer_bytes):
    with ReferenceService(*trusted_pki.tls('expired'), port=0) as downloads:
        downloads.add_installer(INSTALLER_PATH, installer_bytes)
        service.set_reply(KEY, 'GET:' + downloads.url(INSTALLER_PATH))
        result = run_launcher(wine, vendor, env=installer.env)
    assert result.exit_code == CERT_DATE_INVALID
    assert 'Certificate error' not in report_parts(result)
    assert not installer.started


def test_absent_service_is_asked_ten_times(wine, vendor):
    began = time.monotonic()
    result = run_launcher(wine, vendor)
    assert result.exit_code == CANNOT_CONNECT
    assert report_parts(result)[-1] == '215'
    assert time.monotonic() - began >= 9 * 0.5, 'nine pauses of 500 ms'


def test_service_that_resets_every_request_is_asked_ten_times(wine, vendor, service):
    service.set_default_fault('/getinstaller', no_answer=True, reset=True)   # each request read, then reset
    result = run_launcher(wine, vendor)
    assert report_parts(result)[-1] in ('215', '221')   # the reset met while sending, or as no status line
    assert len(service.requests_for('/getinstaller')) == 10


def test_machine_without_network_adapter_sends_no_identifier(wine, vendor, trusted_pki, tmp_path):
    """Run in a network namespace of its own, with only loopback: the machine
    identifier needs an adapter's address. Wine's own services must start in
    that namespace too, so the test run's wineserver is stopped meanwhile."""
    log = tmp_path / 'service-log.jsonl'
    ready = tmp_path / 'ready'
    cert, key = trusted_pki.tls('good')
    script = f'''
set -e
ip link set lo up
{sys.executable} {DEV_TOOLS / 'reference-service'} --port {SERVICE_PORT} --cert {cert} --key {key} \
    --log {log} --ready-file {ready} &
service=$!
while [ ! -s {ready} ]; do sleep 0.05; done
wine {wine.bin / 'runwait.exe'} '{winpath(vendor)}' /silent . || true
wineserver -k || true
wineserver -w || true
kill $service; wait $service || true
'''
    wine.stop_server()
    try:
        completed = wine.command('unshare', '--net', 'sh', '-c', script, timeout=180)
    finally:
        # The namespace's server must be gone before the test run's own starts again.
        subprocess.run(['wineserver', '-w'], env=wine.env, timeout=60)
        wine.start_server()
    queries = [json.loads(line)['query'] for line in log.read_text().splitlines()]
    assert queries, completed
    assert queries[0] == f'key={KEY}&version=0%2C1%2C0%2C377&compressed=1', queries[0]

"""The reference service and the squid proxy fixture, checked on the wire
with curl and raw sockets (no Wine needed)."""
import gzip
import http.client
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import zlib

import pytest

from launchers import until
from proxy import SquidProxy

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / 'tools' / 'dev'))

from reference_service import DEFAULT_LAST_MODIFIED, Fault, ReferenceService  # noqa: E402

DATA = bytes(range(256)) * 40          # 10240 bytes, every offset recognisable
SLICE = bytes(range(100))
CURL_ENV = {k: v for k, v in os.environ.items() if 'proxy' not in k.lower()}


class Curl:
    def __init__(self, result, body):
        self.exit_code = result.returncode
        self.info = json.loads(result.stdout) if result.stdout.strip() else {}
        self.body = body
        self.stderr = result.stderr

    @property
    def status(self):
        return self.info.get('http_code')

    def __repr__(self):
        return f'Curl(exit {self.exit_code}, status {self.status}, {len(self.body)} bytes, {self.stderr.strip()!r})'


def curl(tmp_path, url, *options):
    out = tmp_path / f'curl-{time.monotonic_ns()}.out'
    result = subprocess.run(['curl', '-sS', '--max-time', '10', '-o', str(out), '-w', '%{json}', *options, url],
                            capture_output=True, text=True, env=CURL_ENV, timeout=20)
    body = out.read_bytes() if out.exists() else b''
    return Curl(result, body)


def exchange(port, request, timeout=5.0):
    """Sends raw request bytes; returns (head lines, body bytes, closed by server)."""
    with socket.create_connection(('127.0.0.1', port), timeout=timeout) as sock:
        sock.sendall(request)
        received, closed = b'', False
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                piece = sock.recv(65536)
            except socket.timeout:
                break
            if not piece:
                closed = True
                break
            received += piece
            sock.settimeout(0.3)  # once data flows, a pause means the answer is complete
    head, _, body = received.partition(b'\r\n\r\n')
    return head.decode('latin-1').split('\r\n'), body, closed


def get(port, path, headers=None):
    connection = http.client.HTTPConnection('127.0.0.1', port, timeout=5)
    connection.request('GET', path, headers=headers or {})
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response, body


@pytest.fixture(scope='module')
def service():
    with ReferenceService() as instance:
        yield instance


@pytest.fixture(autouse=True)
def fresh(request):
    """Each test starts with the module's service files, no faults and an empty log."""
    if 'service' in request.fixturenames:
        instance = request.getfixturevalue('service')
        instance.clear_faults()
        instance.clear_log()
        instance.add_file('/data.bin', DATA)
        instance.add_file('/slice.bin', SLICE)
    yield


@pytest.fixture(scope='module')
def certificate(tmp_path_factory):
    folder = tmp_path_factory.mktemp('pki')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
                    '-keyout', str(folder / 'key.pem'), '-out', str(folder / 'cert.pem'), '-days', '2',
                    '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost'],
                   check=True, capture_output=True)
    return folder / 'cert.pem', folder / 'key.pem'


@pytest.fixture(scope='module')
def tls_service(certificate):
    with ReferenceService(*certificate) as instance:
        instance.add_file('/data.bin', DATA)
        yield instance


@pytest.fixture(scope='module')
def squid():
    # squid drops to its own user, which must be able to reach its folder;
    # pytest's temporary folders are private to root.
    folder = pathlib.Path(tempfile.mkdtemp(prefix='loomcraft-squid-'))
    folder.chmod(0o755)
    proxy = SquidProxy(folder, users={'user': 'secret'}).start()
    yield proxy
    proxy.stop()
    shutil.rmtree(folder)


class TestFiles:
    def test_whole_file(self, service):
        response, body = get(service.port, '/data.bin')
        assert response.status == 200 and body == DATA
        assert response.getheader('Content-Length') == str(len(DATA))
        assert response.getheader('Last-Modified') == DEFAULT_LAST_MODIFIED
        assert response.getheader('Accept-Ranges') == 'bytes'
        assert response.getheader('Content-Range') is None

    def test_last_modified_can_be_left_out(self, service):
        service.add_file('/plain.bin', b'abc', last_modified=None)
        response, body = get(service.port, '/plain.bin')
        assert response.status == 200 and body == b'abc' and response.getheader('Last-Modified') is None

    @pytest.mark.parametrize('asked, first, last', [
        ('bytes=10-19', 10, 19), ('bytes=90-', 90, 99), ('bytes=-5', 95, 99), ('bytes=95-500', 95, 99),
        ('bytes=0-0', 0, 0), ('bytes=99-99', 99, 99)])
    def test_single_range(self, service, asked, first, last):
        response, body = get(service.port, '/slice.bin', {'Range': asked})
        assert response.status == 206
        assert response.getheader('Content-Range') == f'bytes {first}-{last}/100'
        assert response.getheader('Content-Length') == str(last - first + 1)
        assert body == SLICE[first:last + 1]

    @pytest.mark.parametrize('asked', ['bytes=100-', 'bytes=150-160', 'bytes=-0'])
    def test_unsatisfiable_range(self, service, asked):
        response, _ = get(service.port, '/slice.bin', {'Range': asked})
        assert response.status == 416 and response.getheader('Content-Range') == 'bytes */100'

    @pytest.mark.parametrize('asked', ['bytes=5-2', 'bytes=0-1,5-6', 'items=0-5', 'bytes=x-4'])
    def test_ignored_range_gets_whole_body(self, service, asked):
        response, body = get(service.port, '/slice.bin', {'Range': asked})
        assert response.status == 200 and body == SLICE

    def test_if_range(self, service):
        same, body = get(service.port, '/slice.bin', {'Range': 'bytes=50-', 'If-Range': DEFAULT_LAST_MODIFIED})
        assert same.status == 206 and body == SLICE[50:]
        changed, body = get(service.port, '/slice.bin',
                            {'Range': 'bytes=50-', 'If-Range': 'Thu, 01 Jan 2004 00:00:00 GMT'})
        assert changed.status == 200 and body == SLICE

    def test_head_unknown_path_and_other_methods(self, service):
        head, body, _ = exchange(service.port, b'HEAD /slice.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n')
        assert head[0] == 'HTTP/1.1 200 OK' and 'Content-Length: 100' in head and body == b''
        assert get(service.port, '/missing.bin')[0].status == 404
        head, _, _ = exchange(service.port, b'POST /slice.bin HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n'
                                            b'Connection: close\r\n\r\nabc')
        assert head[0].startswith('HTTP/1.1 405')

    def test_keep_alive_serves_many_requests_on_one_connection(self, service):
        before = service.connections
        connection = http.client.HTTPConnection('127.0.0.1', service.port, timeout=5)
        for asked in ('bytes=0-9', None, 'bytes=90-'):
            connection.request('GET', '/slice.bin', headers={'Range': asked} if asked else {})
            response = connection.getresponse()
            assert response.read() and not response.will_close
        connection.close()
        assert service.connections == before + 1
        assert len({request.connection for request in service.log}) == 1

    def test_curl_reuses_the_connection(self, service, tmp_path):
        out = tmp_path / 'b'
        result = subprocess.run(['curl', '-sS', '-v', '-o', str(tmp_path / 'a'), service.url('/slice.bin'),
                                 '-o', str(out), service.url('/data.bin')], capture_output=True, text=True,
                                env=CURL_ENV, timeout=20)
        assert result.returncode == 0 and out.read_bytes() == DATA
        assert 'Re-using existing connection' in result.stderr

    def test_installers_are_served_compressed(self, service):
        exe = b'MZ' + bytes(range(256)) * 64
        service.add_installer('/setup.z', exe)
        service.add_installer('/setup.gz', exe, compression='gzip')
        assert zlib.decompress(get(service.port, '/setup.z')[1]) == exe
        packed = get(service.port, '/setup.gz')[1]
        assert packed[:2] == b'\x1f\x8b' and gzip.decompress(packed) == exe

    def test_large_file_is_served_whole(self, service, tmp_path):
        # Its speed is measured in bench/ (http_download), not asserted here.
        big = os.urandom(1 << 20) * 64
        service.add_file('/big.bin', big)
        result = curl(tmp_path, service.url('/big.bin'))
        service.remove_file('/big.bin')
        assert result.exit_code == 0 and result.body == big


class TestFaults:
    def test_close_after_cleanly(self, service, tmp_path):
        service.queue_fault('/data.bin', close_after=1000)
        result = curl(tmp_path, service.url('/data.bin'))
        assert result.exit_code == 18 and result.body == DATA[:1000]  # partial file

    def test_close_after_by_reset(self, service, tmp_path):
        service.queue_fault('/data.bin', close_after=1000, reset=True)
        result = curl(tmp_path, service.url('/data.bin'))
        assert result.exit_code == 56 and 'reset' in result.stderr.lower()
        assert result.body == DATA[:1000]

    def test_close_after_headers_only(self, service):
        service.queue_fault('/data.bin', close_after=0)
        head, body, closed = exchange(service.port, b'GET /data.bin HTTP/1.1\r\nHost: x\r\n\r\n')
        assert head[0] == 'HTTP/1.1 200 OK' and f'Content-Length: {len(DATA)}' in head
        assert body == b'' and closed

    def test_chunked(self, service, tmp_path):
        service.queue_fault('/data.bin', framing='chunked', chunk_size=3000)
        head, body, closed = exchange(service.port, b'GET /data.bin HTTP/1.1\r\nHost: x\r\n\r\n')
        assert 'Transfer-Encoding: chunked' in head and not any(h.startswith('Content-Length') for h in head)
        assert body.startswith(b'bb8\r\n') and body.endswith(b'\r\n0\r\n\r\n') and not closed
        service.queue_fault('/data.bin', framing='chunked')
        assert curl(tmp_path, service.url('/data.bin')).body == DATA
        service.queue_fault('/data.bin', framing='chunked', close_after=500)
        assert curl(tmp_path, service.url('/data.bin')).exit_code == 18

    def test_close_delimited(self, service):
        service.queue_fault('/data.bin', framing='close')
        head, body, closed = exchange(service.port, b'GET /data.bin HTTP/1.1\r\nHost: x\r\n\r\n')
        assert not any(h.startswith('Content-Length') for h in head) and 'Connection: close' in head
        assert body == DATA and closed

    def test_range_answered_with_whole_body(self, service):
        service.queue_fault('/data.bin', ignore_range=True)
        response, body = get(service.port, '/data.bin', {'Range': 'bytes=100-'})
        assert response.status == 200 and body == DATA and response.getheader('Content-Range') is None

    @pytest.mark.parametrize('text', ['bytes 200-100/10240', 'bytes 100-10240/10240', 'bytes 0-10239/10240',
                                      'bytes 100-500/10240', 'bytes 100-10239/99999', 'garbage'])
    def test_wrong_content_range(self, service, text):
        service.queue_fault('/data.bin', content_range=text)
        head, body, _ = exchange(service.port, b'GET /data.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=100-\r\n\r\n')
        assert head[0] == 'HTTP/1.1 206 Partial Content'
        assert [h for h in head if h.startswith('Content-Range')] == [f'Content-Range: {text}']
        assert body == DATA[100:]

    def test_206_without_content_range(self, service):
        service.queue_fault('/data.bin', omit_headers=('Content-Range',))
        response, body = get(service.port, '/data.bin', {'Range': 'bytes=100-'})
        assert response.status == 206 and response.getheader('Content-Range') is None and body == DATA[100:]
        service.queue_fault('/data.bin', status=206)
        response, body = get(service.port, '/data.bin')
        assert response.status == 206 and response.getheader('Content-Range') is None and body == DATA

    @pytest.mark.parametrize('length', ['abc', '-5', '1e3', ''])
    def test_content_length_not_a_number(self, service, length):
        service.queue_fault('/slice.bin', content_length=length)
        head, body, closed = exchange(service.port, b'GET /slice.bin HTTP/1.1\r\nHost: x\r\n\r\n')
        assert [h for h in head if h.startswith('Content-Length')] == [f'Content-Length: {length}']
        assert body == SLICE and closed

    def test_content_length_larger_than_body(self, service, tmp_path):
        service.queue_fault('/slice.bin', content_length='150')
        result = curl(tmp_path, service.url('/slice.bin'))
        assert result.exit_code == 18 and result.body == SLICE

    def test_content_length_of_206_differs_from_range(self, service):
        service.queue_fault('/data.bin', content_length='50')
        head, body, closed = exchange(service.port, b'GET /data.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=0-99\r\n\r\n')
        assert 'Content-Length: 50' in head and 'Content-Range: bytes 0-99/10240' in head
        assert body == DATA[:100] and closed

    @pytest.mark.parametrize('status', [404, 500])
    def test_error_status_with_body(self, service, status):
        service.queue_fault('/data.bin', status=status, body=b'<html>gone</html>')
        response, body = get(service.port, '/data.bin')
        assert response.status == status and body == b'<html>gone</html>'
        assert response.getheader('Last-Modified') is None and response.getheader('Accept-Ranges') is None
        service.queue_fault('/data.bin', status=status)
        response, body = get(service.port, '/data.bin')
        assert response.status == status and str(status).encode() in body

    def test_delay_before_headers_and_between_chunks(self, service, tmp_path):
        service.queue_fault('/slice.bin', delay=0.4)
        result = curl(tmp_path, service.url('/slice.bin'))
        assert result.body == SLICE and result.info['time_starttransfer'] >= 0.4
        service.queue_fault('/data.bin', chunk_size=2048, chunk_delay=0.1)  # five writes, four pauses
        result = curl(tmp_path, service.url('/data.bin'))
        assert result.body == DATA and 0.4 <= result.info['time_total'] < 5   # the pauses, generously bounded

    def test_no_answer(self, service, tmp_path):
        service.queue_fault('/data.bin', no_answer=True)
        result = curl(tmp_path, service.url('/data.bin'))
        assert result.exit_code == 52  # empty reply from server
        service.queue_fault('/data.bin', no_answer=True, reset=True)
        assert curl(tmp_path, service.url('/data.bin')).exit_code == 56
        assert len(service.requests_for('/data.bin')) == 2

    def test_extra_headers(self, service):
        service.queue_fault('/slice.bin', extra_headers=[('X-One', '1'), ('Set-Cookie', 'a=b')])
        response, _ = get(service.port, '/slice.bin')
        assert response.getheader('X-One') == '1' and response.getheader('Set-Cookie') == 'a=b'

    def test_queue_then_default_then_normal(self, service):
        service.queue_faults('/slice.bin', [Fault(status=500), {'status': 404}])
        service.set_default_fault('/slice.bin', status=503)
        statuses = [get(service.port, '/slice.bin')[0].status for _ in range(3)]
        assert statuses == [500, 404, 503] and service.queued_faults('/slice.bin') == 0
        service.set_default_fault('/slice.bin')
        assert get(service.port, '/slice.bin')[0].status == 200
        assert get(service.port, '/data.bin')[0].status == 200  # faults belong to their path

    def test_bad_fault_is_refused(self, service):
        with pytest.raises(ValueError):
            service.queue_fault('/data.bin', framing='bogus')
        with pytest.raises(TypeError):
            service.queue_fault('/data.bin', {'colse_after': 3})

    def test_bandwidth_limit(self, service, tmp_path):
        rate = 50 << 20
        service.add_file('/paced.bin', bytes(rate))
        service.queue_fault('/paced.bin', rate=rate)
        cpu = time.process_time()
        result = curl(tmp_path, service.url('/paced.bin'))
        cpu = time.process_time() - cpu
        service.remove_file('/paced.bin')
        assert result.exit_code == 0 and len(result.body) == rate
        # The rate is a ceiling: never much faster, and not slower than a loaded machine makes it.
        measured = result.info['size_download'] / (result.info['time_total'] - result.info['time_starttransfer'])
        assert 0.25 * rate < measured < 1.2 * rate
        assert cpu < 0.5  # paced by sleeping, not spinning (CPU time, which waiting does not add to)


class TestInstallerLookup:
    def test_replies(self, service):
        service.set_reply('ABCD-1234', 'GET:https://localhost:1/files/x.bin')
        service.set_reply('a+b c', b'GOTO:https://example.invalid/page')
        response, body = get(service.port, '/getinstaller?key=ABCD-1234&v=2')
        assert response.status == 200 and body == b'GET:https://localhost:1/files/x.bin'
        assert get(service.port, '/getinstaller?key=a%2Bb+c')[1] == b'GOTO:https://example.invalid/page'
        assert get(service.port, '/getinstaller?key=a+b+c')[0].status == 404  # '+' is a space in a query
        assert get(service.port, '/getinstaller')[0].status == 404
        assert service.log[1].query == 'key=a%2Bb+c'

    def test_default_reply_and_status(self, service):
        service.set_default_reply('ERROR:unknown')
        try:
            assert get(service.port, '/getinstaller?key=nobody')[1] == b'ERROR:unknown'
        finally:
            service.set_default_reply(None)
        service.set_reply('busy', 'try later', status=503)
        response, body = get(service.port, '/getinstaller?key=busy')
        assert response.status == 503 and body == b'try later'

    def test_faults_apply_to_the_lookup(self, service):
        service.set_reply('k', 'GET:x')
        service.queue_fault('/getinstaller', status=500)
        assert get(service.port, '/getinstaller?key=k')[0].status == 500
        assert get(service.port, '/getinstaller?key=k')[1] == b'GET:x'


class TestRequestLog:
    def test_entries(self, service):
        connection = http.client.HTTPConnection('127.0.0.1', service.port, timeout=5)
        connection.request('GET', '/data.bin?x=%41&y', headers={'Range': 'bytes=5-', 'Proxy-Authorization': 'B z',
                                                               'X-Custom': 'v'})
        connection.getresponse().read()
        connection.request('HEAD', '/slice.bin')
        connection.getresponse().read()
        client_port = connection.sock.getsockname()[1]
        connection.close()
        first, second = service.wait_for_requests(2)
        assert (first.method, first.path, first.query, first.range) == ('GET', '/data.bin', 'x=%41&y', 'bytes=5-')
        assert first.target == '/data.bin?x=%41&y' and first.proxy_authorization
        assert first.headers['X-Custom'] == 'v' and first.header('x-custom') == 'v'
        assert first.client_port == second.client_port == client_port
        assert (second.method, second.range, second.proxy_authorization) == ('HEAD', None, False)
        json.dumps(first.to_dict())

    def test_wait_times_out(self, service):
        with pytest.raises(TimeoutError):
            service.wait_for_requests(1, timeout=0.1)


class TestHttps:
    def test_download_resume_and_reuse(self, tls_service, certificate, tmp_path):
        cacert = str(certificate[0])
        result = curl(tmp_path, tls_service.url('/data.bin'), '--cacert', cacert)
        assert result.exit_code == 0 and result.body == DATA
        assert tls_service.base_url.startswith('https://localhost:')
        result = curl(tmp_path, tls_service.url('/data.bin'), '--cacert', cacert, '-r', '10000-')
        assert result.status == 206 and result.body == DATA[10000:]

    def test_faults_over_tls(self, tls_service, certificate, tmp_path):
        cacert = str(certificate[0])
        tls_service.queue_fault('/data.bin', close_after=700)
        result = curl(tmp_path, tls_service.url('/data.bin'), '--cacert', cacert)
        assert result.exit_code == 18 and result.body == DATA[:700]
        tls_service.queue_fault('/data.bin', close_after=700, reset=True)
        assert curl(tmp_path, tls_service.url('/data.bin'), '--cacert', cacert).exit_code == 56
        tls_service.queue_fault('/data.bin', framing='close')
        result = curl(tmp_path, tls_service.url('/data.bin'), '--cacert', cacert)
        assert result.exit_code == 0 and result.body == DATA

    def test_untrusted_certificate(self, tls_service, tmp_path):
        before = len(tls_service.tls_errors)
        assert curl(tmp_path, tls_service.url('/data.bin')).exit_code == 60
        until(lambda: len(tls_service.tls_errors) > before, timeout=10)   # recorded by the serving thread
        assert len(tls_service.tls_errors) == before + 1


class TestSquid:
    def test_plain_http(self, squid, service, tmp_path):
        for user, expected in ((None, 407), ('user:wrong', 407), ('user:secret', 200)):
            options = ['-x', squid.url] + (['--proxy-user', user] if user else [])
            result = curl(tmp_path, service.url('/data.bin'), *options)
            assert result.status == expected, result
        assert result.body == DATA
        request, = service.log  # only the authenticated request got through
        assert not request.proxy_authorization and request.header('Via')
        seen = squid.wait_for_access(lambda e: e['url'] == service.url('/data.bin') and e['status'] == 200)
        assert seen[0]['user'] == 'user' and seen[0]['method'] == 'GET'

    def test_connect(self, squid, tls_service, certificate, tmp_path):
        tls_service.clear_log()
        url = tls_service.url('/data.bin')
        for user in (None, 'user:wrong'):
            options = ['-x', squid.url, '--cacert', str(certificate[0])] + (['--proxy-user', user] if user else [])
            result = curl(tmp_path, url, *options)
            assert result.exit_code == 56 and result.info['http_connect'] == 407, result
        result = curl(tmp_path, url, '-x', squid.url, '--proxy-user', 'user:secret', '--cacert', str(certificate[0]))
        assert result.exit_code == 0 and result.info['http_connect'] == 200 and result.body == DATA
        request, = tls_service.log
        assert not request.proxy_authorization and request.header('Proxy-Authorization') is None
        target = f'localhost:{tls_service.port}'
        # squid logs a tunnel when it closes: the refused ones may be logged before the open one.
        squid.wait_for_access(lambda e: e['method'] == 'CONNECT' and e['url'] == target and e['status'] == 200)
        seen = squid.wait_for_access(lambda e: e['method'] == 'CONNECT' and e['url'] == target)
        assert {(e['status'], e['user']) for e in seen} >= {(407, None), (407, 'user'), (200, 'user')}


def test_command_line(tmp_path, certificate):
    exe = b'MZ' + os.urandom(3000)
    (tmp_path / 'setup.exe').write_bytes(exe)
    (tmp_path / 'page.bin').write_bytes(SLICE)
    ready, log = tmp_path / 'port', tmp_path / 'requests.jsonl'
    process = subprocess.Popen([str(REPO / 'tools' / 'dev' / 'reference-service'), '--cert', str(certificate[0]),
                                '--key', str(certificate[1]), '--file', f'/page.bin={tmp_path / "page.bin"}',
                                '--installer', f'/setup.gz={tmp_path / "setup.exe"}:gzip',
                                '--installer', f'/setup.z={tmp_path / "setup.exe"}', '--reply', 'K-1=GET:/setup.z',
                                '--log', str(log), '--ready-file', str(ready)], stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 10
        while not ready.exists() and time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.02)
        base = f'https://localhost:{int(ready.read_text())}'
        cacert = ['--cacert', str(certificate[0])]
        assert curl(tmp_path, base + '/getinstaller?key=K-1', *cacert).body == b'GET:/setup.z'
        assert curl(tmp_path, base + '/page.bin', *cacert).body == SLICE
        assert gzip.decompress(curl(tmp_path, base + '/setup.gz', *cacert).body) == exe
        assert zlib.decompress(curl(tmp_path, base + '/setup.z', *cacert).body) == exe
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(10) == 0
    entries = [json.loads(line) for line in log.read_text().splitlines()]
    assert [e['path'] for e in entries] == ['/getinstaller', '/page.bin', '/setup.gz', '/setup.z']
    assert entries[0]['query'] == 'key=K-1'

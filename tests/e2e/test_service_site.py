"""The vendor's service on Debian's nginx: tools/publisher/service-config turns a key
table into a site that the real launcher installs through (a worker killed
mid-download included), and tools/publisher/error-report turns the error-page visits
of real failures and crashes into a failure report."""
import gzip
import html
import os
import pathlib
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import urllib.parse
import zlib

import pytest

from conftest import SERVICE_PORT, TOOLS
from launchers import KEY, run_launcher, until, vendor_launcher
from test_interactive import PROGRESS, interactive  # noqa: F401  (fixture)
from test_workflow import installer, vendor  # noqa: F401  (fixtures)

GOTO_KEY, UNKNOWN_KEY, SMALL_KEY, RELAYED_KEY = 'a' * 40, 'b' * 40, 'c' * 40, 'd' * 40
ODD_REPLY = 'GOTO:https://example.test/a$b"c\\d{e};f%20g?x=$args'
BASE = f'https://localhost:{SERVICE_PORT}'
TABLE = [(KEY, f'GET:{BASE}/files/setup.bin'), (GOTO_KEY, 'GOTO:https://example.test/renew'),
         ('default', ODD_REPLY)]
FAULT_NAME = 'Setup für Kunden, Nr. 1 (v2) & co.exe'


def launcher_encoding(text):
    return ''.join(chr(b) if chr(b).isascii() and chr(b).isalnum() else f'%{b:02X}' for b in text.encode())


def service_config(table, out, files, pki, *options):
    keys = out.parent / 'keys.tsv'
    keys.write_bytes(table if isinstance(table, bytes) else
                     b'\xef\xbb\xbf# key\treply\r\n\r\n' + ''.join(f'{k}\t{r}\r\n' for k, r in table).encode())
    cert, key = pki.tls('good')
    return subprocess.run([TOOLS / 'service-config', '--keys', keys, '--files', files, '--cert', cert, '--key', key,
                           '--port', str(SERVICE_PORT), '--address', '127.0.0.1', '--out', out,
                           '--ca', pki.path('root.pem'), *options],
                          capture_output=True, text=True)


class Site:
    """The generated site, run by nginx from its own folder as a vendor would: `nginx -p OUT -c nginx.conf`."""

    def __init__(self, folder, pki):
        self.folder, self.pki, self.out, self.files = folder, pki, folder / 'site', folder / 'files'
        self.conf = None

    def nginx(self, *args):
        subprocess.run(['nginx', '-p', str(self.out), '-c', 'nginx.conf', *args], check=True, capture_output=True)

    def configure(self, table=TABLE, *options):
        done = service_config(table, self.out, self.files, self.pki, '--limit-rate', '4m', *options)
        assert done.returncode == 0, done.stderr
        assert 'setup.bin: warning: the signature has no time stamp' in done.stdout   # and it still goes live
        conf = (self.out / 'nginx.conf').read_text()
        started, self.conf, old = self.conf is None, conf, self.conf
        if started:
            self.nginx()
            assert until(lambda: self.workers() and self.fetch('/')[0] == 404)
        elif conf != old:   # a new key table goes live without downtime
            workers = set(self.workers())
            self.nginx('-s', 'reload')
            assert until(lambda: self.workers() and not workers & set(self.workers()))

    def master(self):
        return int((self.out / 'logs' / 'nginx.pid').read_text())

    def workers(self):
        def parent(stat):   # the field after the state, which follows the command name in brackets
            try:
                return int(stat.read_text().rsplit(')', 1)[1].split()[1])
            except OSError:   # ended meanwhile
                return None
        return [int(stat.parent.name) for stat in pathlib.Path('/proc').glob('[0-9]*/stat')
                if parent(stat) == self.master()]

    def log(self, name):
        return (self.out / 'logs' / name).read_text().splitlines()

    def fetch(self, target, method='GET', headers=''):
        """(status, headers, body) of one request sent exactly as given, as a browser or a client would."""
        context = ssl.create_default_context(cafile=self.pki.path('root.pem'))
        with socket.create_connection(('127.0.0.1', SERVICE_PORT), timeout=30) as raw, \
                context.wrap_socket(raw, server_hostname='localhost') as tls:
            tls.sendall(b'%s %s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n%s\r\n' % (
                method.encode(), target if isinstance(target, bytes) else target.encode(), headers.encode()))
            data = bytearray()
            while chunk := tls.recv(1 << 16):
                data += chunk
        head, _, body = bytes(data).partition(b'\r\n\r\n')
        status, *lines = head.decode('latin-1').split('\r\n')
        return int(status.split()[1]), dict((k.lower(), v) for k, v in (line.split(': ', 1) for line in lines)), body

    def rotate_logs(self):
        """Moves the logs aside, as logrotate would, and has nginx start new ones."""
        old = self.folder / f'old-logs-{len(list(self.folder.glob("old-logs-*")))}'
        old.mkdir()
        for name in ('access.log', 'error-pages.log'):
            (self.out / 'logs' / name).rename(old / name)
        self.nginx('-s', 'reopen')
        assert until(lambda: (self.out / 'logs' / 'access.log').exists())

    def stop(self):
        if (self.out / 'logs' / 'nginx.pid').exists():
            master = self.master()
            os.kill(master, signal.SIGTERM)
            assert until(lambda: not os.path.exists(f'/proc/{master}'))


@pytest.fixture(scope='module')
def public():
    """A folder that nginx's worker may read (pytest's own are private to their user)."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix='loomcraft-site-'))
    folder.chmod(0o755)
    (folder / 'files').mkdir()
    (folder / 'files' / 'unsigned.bin').write_bytes(zlib.compress(b'MZ, and no signature'))
    yield folder
    shutil.rmtree(folder)


@pytest.fixture(scope='module')
def site(public, trusted_pki, bin_folder):
    """The site on the launcher's endpoint, serving a 4 MiB signed installer (incompressible, so that
    a download takes a while)."""
    unsigned = public / 'unsigned.exe'
    unsigned.write_bytes((bin_folder / 'testinstaller.exe').read_bytes() + os.urandom(4 << 20))
    exe = trusted_pki.sign(unsigned, public / 'installer.exe')
    (public / 'files' / 'setup.bin').write_bytes(zlib.compress(exe.read_bytes(), 1))
    (public / 'files' / '.hidden').write_text('not served')
    running = Site(public, trusted_pki)
    yield running
    running.stop()


GET, REFUSED = 'GET:https://a.test/x', 'the launcher would refuse this reply: '


@pytest.mark.parametrize('table, options, problem', [
    (f'k1\t{GET}\nno tab here\n', (), 'keys.tsv:2: malformed line'),
    (f'k1\t{GET}\n# c\nk1\tGOTO:https://a.test/y\n', (), 'keys.tsv:3: duplicate key (first given on line 1)'),
    (f'ABC\t{GET}\nabc\t{GET}\n', (), 'keys.tsv:2: the key differs from the one on line 1 only in letter case'),
    ('k1\tget:https://a.test/x\n', (), f'keys.tsv:1: {REFUSED}the reply starts with neither'),
    (f'k1\t{GET}\x01y\n', (), f'keys.tsv:1: {REFUSED}the download URL holds a control character'),
    ('k1\tGOTO:javascript:alert(1)\n', (), f"keys.tsv:1: {REFUSED}the page is not an http or https link ('javas"),
    (f'{"k" * 1024}\t{GET}\n', (), 'keys.tsv:1: the stamp tool refuses this key: the key is 1024 bytes long'),
    (f'kéy\t{GET}\n', (), 'keys.tsv:1: the stamp tool refuses this key: the key contains non-ASCII'),
    (f'k1\t{GET}\n', ('--unknown-reply', 'Hello'), f'--unknown-reply: {REFUSED}'),
    (f'k1\t{GET}\nk2\tGET:{BASE}/files/unsigned.bin\n', (),
     'keys.tsv:2: the launcher would refuse /files/unsigned.bin: it unpacks to something that is not a Windows '
     'program (190)'),
])
def test_key_table_problems_are_refused_and_nothing_changes(pki, public, tmp_path, table, options, problem):
    out = tmp_path / 'out'
    assert service_config([('k0', GET)], out, public / 'files', pki).returncode == 0
    before = {p: p.read_bytes() for p in out.rglob('*') if p.is_file()}
    done = service_config(table.encode(), out, public / 'files', pki, *options)
    assert done.returncode == 1 and problem in done.stderr, done.stderr
    if 'unsigned.bin' in problem:   # a download from elsewhere is listed, not checked
        assert 'keys.tsv:1: https://a.test/x: not checked (not served from --files)' in done.stdout
    assert {p: p.read_bytes() for p in out.rglob('*') if p.is_file()} == before


@pytest.mark.skipif(os.geteuid() != 0, reason='the worker is another user only when nginx starts as root')
def test_a_folder_the_worker_cannot_read_is_refused(pki, tmp_path):
    (tmp_path / 'files').mkdir()   # pytest's own folders are private to root
    done = service_config(TABLE, tmp_path / 'out', tmp_path / 'files', pki)
    assert done.returncode == 1 and "nginx's worker (user www-data) cannot read" in done.stderr
    assert not (tmp_path / 'out').exists()


ELSEWHERE = f'https://cdn.test:{SERVICE_PORT}/files/elsewhere.bin'


@pytest.mark.parametrize('url, options, status', [
    pytest.param(f'{BASE}/files/setup.bin/', (), 404, id='trailing-slash'),
    pytest.param(f'{BASE}/files/./setup.bin', (), 200, id='dot'),
    pytest.param(f'{BASE}/files//setup.bin', (), 200, id='empty-segment'),
    pytest.param(f'{BASE}/files/../files/setup.bin', (), 200, id='dot-dot'),
    pytest.param(f'{BASE}/files/../../files/setup.bin', (), 400, id='dot-dot-above-the-root'),
    pytest.param(f'{BASE}/files%2Fsetup.bin', (), 200, id='encoded-slash'),
    pytest.param(f'https://127.0.0.1:{SERVICE_PORT}/files/setup.bin', ('--server-name', 'localhost'), 200,
                 id='by-address'),
    pytest.param(ELSEWHERE, (), 404, id='by-another-name'),
    pytest.param(ELSEWHERE, ('--other-host', 'cdn.test'), None, id='other-host'),
    pytest.param(f'{BASE}/files/gone.bin', (), 404, id='missing-file'),
])
def test_the_gate_takes_a_url_as_nginx_serves_it(site, tmp_path, url, options, status):
    """The table is refused with nginx's answer, or accepted and nginx serves the installer (asked by curl
    exactly as the URL is written, with its host name); a URL of an --other-host is only listed."""
    site.configure(TABLE)
    done = service_config([(KEY, f'GET:{url}')], tmp_path / 'out', site.files, site.pki, *options)   # its line 3
    if status is None:
        assert done.returncode == 0 and f'keys.tsv:3: {url}: not checked' in done.stdout, done
        return
    parts, body = urllib.parse.urlsplit(url), tmp_path / 'body'
    served = subprocess.run(['curl', '-sS', '--path-as-is', '--cacert', site.pki.path('root.pem'), '-H',
                             f'Host: {parts.netloc}', '-o', body, '-w', '%{http_code}', BASE + parts.path],
                            capture_output=True, text=True)
    assert int(served.stdout) == status, served
    if status != 200:
        assert done.returncode == 1 and f'keys.tsv:3: the launcher would refuse {parts.path}: ' in done.stderr
        assert f'nginx answers {status} for it' in done.stderr, done.stderr
        return
    assert done.returncode == 0 and body.read_bytes() == (site.files / 'setup.bin').read_bytes()
    assert f'{parts.path}: warning: the signature has no time stamp' in done.stdout   # checked
    rewritten = f'keys.tsv:3: {url}: warning: nginx serves it as /files/setup.bin'
    assert (rewritten in done.stdout) == (parts.path != '/files/setup.bin'), done.stdout


def test_site_answers_sanely(site):
    site.configure(TABLE, '--unknown-reply', 'GOTO:https://example.test/unknown')
    data = (site.files / 'setup.bin').read_bytes()
    query = f'key={KEY}&version=0%2C1%2C0%2C377&compressed=1&id={"0A" * 20}'
    cases = [  # target, method, headers: status, body (None: not checked)
        (f'/getinstaller?{query}', 'GET', '', 200, TABLE[0][1].encode()),
        (f'/getinstaller?key={KEY.upper()}', 'GET', '', 200, TABLE[0][1].encode()),   # keys ignore case
        ('/getinstaller?key=default', 'GET', '', 200, ODD_REPLY.encode()),
        (f'/getinstaller?{query}', 'HEAD', '', 200, b''),
        ('/getinstaller?key=' + 'c' * 6000, 'GET', '', 200, b'GOTO:https://example.test/unknown'),
        ('/getinstaller?key=' + 'c' * 20000, 'GET', '', 414, None),
        *[(f'/getinstaller{odd}', 'GET', '', 200, b'GOTO:https://example.test/unknown')
          for odd in ('', '?', '?&&&=', '?key', '?key=%zz%', '?key=%00')],
        (b'/getinstaller?key=\xff\xfe"<', 'GET', '', 200, b'GOTO:https://example.test/unknown'),
        (f'/getinstaller?{query}', 'POST', 'Content-Length: 0\r\n', 405, None),
        ('/files/setup.bin', 'GET', 'Range: bytes=100-199\r\nAccept-Encoding: gzip\r\n', 206, data[100:200]),
        ('/files/setup.bin', 'GET', 'Range: bytes=0-1,5-6\r\n', 200, data),
        ('/files/.hidden', 'GET', '', 404, None),
        ('/files/', 'GET', '', 403, None),
        ('/files/../site/nginx.conf', 'GET', '', 404, None),
        ('/error/?code=1&message=a%20b', 'GET', '', 200, None),
    ]
    for target, method, headers, status, body in cases:
        got = site.fetch(target, method, headers)
        assert got[0] == status and (body is None or got[2] == body), (target, method, got[:2])
        assert 'content-encoding' not in got[1]
        if status == 200 and b'/getinstaller' in (target if isinstance(target, bytes) else target.encode()):
            assert (got[1]['content-type'], got[1]['content-length']) == ('text/plain',
                                                                          str(len(body) or len(TABLE[0][1])))
    headers = site.fetch('/files/setup.bin', 'GET', 'Range: bytes=100-199\r\n')[1]
    assert (headers['content-range'], headers['content-length']) == (f'bytes 100-199/{len(data)}', '100')
    assert headers['last-modified'] and headers['content-type'] == 'application/octet-stream'
    _, headers, body = site.fetch('/error/?code=1&message=a%20b')
    assert b'Setup could not finish' in body and headers['content-security-policy'] == "default-src 'none'"
    assert site.log('error-pages.log')[-1].split('\t')[3:6] == ['GET', '200', '/error/?code=1&message=a%20b']


def test_new_key_table_goes_live_without_dropping_a_download(site):
    site.configure(TABLE)
    size = (site.files / 'setup.bin').stat().st_size
    downloaded = []
    under_way = threading.Thread(target=lambda: downloaded.append(site.fetch('/files/setup.bin')))
    under_way.start()
    site.configure(TABLE + [('new1', 'GOTO:https://example.test/new')], '--support-url',
                   'https://support.example.test/help?from=setup')
    assert site.fetch('/getinstaller?key=new1')[2] == b'GOTO:https://example.test/new'
    assert site.fetch(f'/getinstaller?key={UNKNOWN_KEY}')[0] == 404
    assert site.fetch('/error/?code=5&message=x')[1]['location'] == \
        'https://support.example.test/help?from=setup&code=5&message=x'
    under_way.join()
    assert downloaded[0][0] == 200 and len(downloaded[0][2]) == size


@pytest.mark.parametrize('key, outcome', [
    (KEY, None),
    (GOTO_KEY, f'https://example.test/renew?key={GOTO_KEY}'),
    (UNKNOWN_KEY, f'https://example.test/unknown?key={UNKNOWN_KEY}'),
])
def test_launcher_installs_follows_goto_and_unknown_keys(site, wine, trusted_pki, launcher, installer, tmp_path,
                                                        key, outcome):
    site.configure(TABLE, '--unknown-reply', 'GOTO:https://example.test/unknown')
    result = run_launcher(wine, vendor_launcher(trusted_pki, launcher, tmp_path / 'vendor', key=key), env=installer.env)
    if outcome:   # silent mode shows a GOTO reply's link in the report
        assert result.stdout.decode() == f'Failed - Please run in non-silent mode or go to {outcome} for more ' \
                                         'information - 266\r\n'
        return
    assert result.exit_code == 0 and installer.started
    size = (site.files / 'setup.bin').stat().st_size
    log = '\n'.join(site.log('access.log')[-2:])
    assert re.search(rf'"GET /getinstaller\?key={KEY}&version=0%2C1%2C0%2C377&compressed=1&id=[0-9A-F]{{40}} '
                     rf'HTTP/1.1" 200 {len(TABLE[0][1])} ', log)
    assert f'"GET /files/setup.bin HTTP/1.1" 200 {size} ' in log


def kill_a_worker_mid_download(site, run):
    """Kills the nginx worker that has sent 1 MiB of a body; the master starts another."""
    def written(pid):   # bytes a worker has written, TLS records to the launcher included
        return int(re.search(r'wchar: (\d+)', pathlib.Path(f'/proc/{pid}/io').read_text())[1])
    start = {pid: written(pid) for pid in site.workers()}

    def kill_once_under_way():
        killed = [pid for pid, before in start.items() if written(pid) - before > 1 << 20]
        for pid in killed:
            os.kill(pid, signal.SIGKILL)
        return killed
    assert until(kill_once_under_way, 60)
    assert run.result().exit_code == 0
    assert until(lambda: len(site.workers()) == len(start))


class CuttingRelay:
    """A TCP relay on a port of its own to the site. Of the site's answer on its first connection it
    passes `cut` bytes on and hangs up on the client, while it still reads the rest: nginx has then sent,
    and logs as complete, a response its client never read whole."""

    def __init__(self, cut):
        self.listener = socket.create_server(('127.0.0.1', 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, args=(cut,), daemon=True).start()

    def serve(self, cut):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:   # closed
                return
            site = socket.create_connection(('127.0.0.1', SERVICE_PORT))
            threading.Thread(target=relay, args=(client, site, cut), daemon=True).start()
            cut = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.listener.close()


def relay(client, site, cut):
    with client, site:
        passed, open_ends = 0, [client, site]
        while readable := select.select(open_ends, [], [], None if client in open_ends else 1)[0]:
            data = readable[0].recv(1 << 16)
            if not data:
                return
            if readable[0] is client:
                site.sendall(data)
            elif client in open_ends:
                client.sendall(data[:cut - passed] if cut is not None else data)
                passed += len(data)
                if cut is not None and passed >= cut:
                    client.shutdown(socket.SHUT_RDWR)
                    open_ends.remove(client)


def test_the_funnel_counts_what_launchers_did(site, wine, trusted_pki, launcher, installer, interactive, browser,
                                              bin_folder, tmp_path):
    small = site.files / 'small.bin'   # small enough for nginx to hand to the system whole at once
    small.write_bytes(zlib.compress(trusted_pki.sign(bin_folder / 'demo-installer.exe', tmp_path / 'small.exe')
                                    .read_bytes(), 9))
    small_size = small.stat().st_size
    size = (site.files / 'setup.bin').stat().st_size
    cached = vendor_launcher(trusted_pki, launcher, tmp_path / 'cached', key=SMALL_KEY)
    (cached.parent / 'QuilloDownloads' / 'Files').mkdir(parents=True)   # cache on: a size probe first
    relayed_launcher = vendor_launcher(trusted_pki, launcher, tmp_path / 'relayed', key=RELAYED_KEY)
    with CuttingRelay(small_size) as relayed:   # into the answer's second TLS record: the first reaches the launcher
        # An unknown key gets a 404: the launcher fails with 274.
        site.configure(TABLE + [(SMALL_KEY, f'GET:{BASE}/files/small.bin'),
                                (RELAYED_KEY, f'GET:https://localhost:{relayed.port}/files/small.bin')])
        site.rotate_logs()
        for small_run in (cached, relayed_launcher):   # the demo installer reports what it was given
            result = run_launcher(wine, small_run)
            assert result.exit_code == 0 and b'nothing to install' in result.stdout, result
    cut = vendor_launcher(trusted_pki, launcher, tmp_path / 'cut')
    kill_a_worker_mid_download(site, wine.spawn(cut, '/silent', '.', env=installer.env))
    for key, code in ((GOTO_KEY, 266), (UNKNOWN_KEY, 274)):
        result = run_launcher(wine, vendor_launcher(trusted_pki, launcher, tmp_path / key, key=key))
        assert result.stdout.decode().endswith(f' - {code}\r\n'), result
    run = interactive(vendor_launcher(trusted_pki, launcher, tmp_path / 'failing', key=UNKNOWN_KEY))
    assert run.message_box().endswith('; Invalid response; 274')
    run.finish()
    assert until(lambda: browser.opened_urls())
    assert site.fetch(browser.opened_urls()[0][len(BASE):])[0] == 200

    # nginx logged the small installer's probe and download whole, and the response the relay cut too
    probe, whole, cut_short, rest = [line for line in site.log('access.log') if '/files/small.bin' in line]
    for line in (probe, whole, cut_short):
        assert f'" 200 {small_size} ' in line and line.endswith(' OK'), line
    first = int(re.search(rf'" 206 \d+ .*"bytes=(\d+)-{small_size - 1}"', rest)[1])
    assert 0 < first < small_size and rest.endswith(f'"bytes {first}-{small_size - 1}/{small_size}" OK')
    resumed, = [line for line in site.log('access.log') if '/files/setup.bin' in line]   # the killed worker: no line
    first, sent = map(int, re.search(rf'" 206 (\d+) .*"bytes=(\d+)-{size - 1}"', resumed).group(2, 1))
    assert first > 1 << 19 and sent == size - first and resumed.endswith(f'"bytes {first}-{size - 1}/{size}" OK')
    logs = site.out / 'logs'   # as a vendor passes it, with one of its files named again
    report = subprocess.run([TOOLS / 'error-report', logs, logs / 'error-pages.log'], capture_output=True, text=True,
                            check=True).stdout
    assert report.splitlines()[1] == ('funnel: 6 service requests (3 answered GET:, 1 answered GOTO:, 2 unknown keys), '
                                      '3 installers delivered whole, 1 failure pages'), report
    assert re.search(r' 6 +3 +1 +2 +3 +1 +100%\n', report), report


def test_failure_and_crash_pages_reach_the_report(site, wine, trusted_pki, launcher, interactive, browser, tmp_path):
    # No --unknown-reply: an unknown key gets a 404, which the launcher refuses. Slow downloads keep the
    # progress window up for the crash.
    site.configure(TABLE, '--limit-rate', '200k')
    site.rotate_logs()
    unknown = vendor_launcher(trusted_pki, launcher, tmp_path / 'unknown', key=UNKNOWN_KEY)
    for args in ((), ('/passcode', 'quillo:Grüße, 50% & co')):
        run = interactive(unknown, *args)
        assert run.message_box().endswith('; Invalid response; 274')
        run.finish()
    known = vendor_launcher(trusted_pki, launcher, tmp_path / 'known')
    crashing = known.rename(known.with_name(FAULT_NAME))
    run = interactive(crashing)
    run.window(PROGRESS)
    run.drive('crash', PROGRESS)
    assert until(lambda: len(browser.opened_urls()) == 3)
    urls = browser.opened_urls()
    assert f'&key={launcher_encoding("Grüße, 50% & co")}&' in urls[1]
    for url in urls:
        assert url.startswith(f'{BASE}/error/?')
        page = url[len(BASE):]
        assert site.fetch(page, 'GET', 'User-Agent: Mozilla/5.0\r\nAccept: text/html\r\n')[0] == 200
        assert site.log('error-pages.log')[-1].split('\t')[3:6] == ['GET', '200', page]
    report = subprocess.run([TOOLS / 'error-report', site.out / 'logs' / 'error-pages.log'], capture_output=True,
                            text=True, check=True).stdout
    assert report.startswith('2 failures and 1 crash reported in 1 file')
    assert re.search(r'\n +2 +274 +0x80004005 E_FAIL +Invalid response\n', report), report
    assert re.search(r'\n +1 +c0000005 access violation +0x0+:0x0+:c0000005:' + re.escape(FAULT_NAME) + '\n', report)


def test_report_decodes_counts_and_skips(tmp_path):
    message = 'Fehler: "Größe" > 5 % — a+b=c; /x?y&z'
    visit = (f'/error/?source=loomcraft&code=338&message={launcher_encoding(message)}&error=0x80072efd'
             f'&version=0%2C1%2C0%2C377&os=6%2E1%2ESP1&key=&date=2025%2D03%2D01')
    own = 'loomcraft-error-page-v1\t2025-03-0{}T10:00:00+00:00\t192.0.2.1\t{}\t200\t{}'
    (tmp_path / 'error-pages.log').write_text('\n'.join([
        own.format(1, 'GET', visit),
        own.format(2, 'GET', visit.replace('%2E', '.').replace('%2D', '-')),   # a browser's normalisation
        own.format(2, 'GET', '/error/?source=Loomcraft&code=0&message=0x1%3A0x2%3Ac00000fd%3Aa%2Edll&error=0x0000023e'),
        own.format(2, 'HEAD', visit), own.format(2, 'GET', '/error/?source=loomcraft&code=1&message=%zz&error=0x1'),
        own.format(3, 'GET', '/error/?source=loomcraft&code=x&error=0x80004005'), 'garbage', own[:30],
        own.format(3, 'GET', '/error/?source=loomcraft&code=1&message=%C3&error=0x80004005'),
        own.format(3, 'GET', '/error/?from=a-robot'), own.format(3, 'GET', '/files/setup.bin')]) + '\n')
    with gzip.open(tmp_path / 'error-pages.log.2.gz', 'wt') as rotated:
        rotated.write(f'192.0.2.9 - - [28/Feb/2025:23:59:59 +0000] "GET {visit} HTTP/1.1" 200 9 "-" "Mozilla"\n')
    (tmp_path / 'broken.gz').write_bytes(b'\x1f\x8bnot gzip')
    report = subprocess.run([TOOLS / 'error-report', *sorted(tmp_path.glob('*')), '--html', tmp_path / 'r.html'],
                            capture_output=True, text=True, check=True).stdout
    assert re.search(r'\n +3 +338 +0x80072efd ERROR_INTERNET_CANNOT_CONNECT +' + re.escape(message) + '\n', report)
    assert re.search(r'\n +3 +6\.1\.SP1 \(Windows 7, SP1\)\n', report)
    assert re.search(r'\n +1 +c00000fd stack overflow +0x1:0x2:c00000fd:a\.dll\n', report)
    assert re.search(r'\n +2 +2025-03-02 +1 +1\n', report) and '2025-02-28' in report
    for reason in ('bad percent-encoding', 'a site code that is no number', 'a line in no known log format',
                   'a truncated line', 'text that is not UTF-8', 'a query not from the launcher',
                   'a HEAD request, not a visit', 'an unreadable file'):
        assert re.search(rf'\n +1 +{reason}', report), reason
    assert '8 malformed lines skipped, 1 other request' in report.splitlines()[0]
    page = (tmp_path / 'r.html').read_text()
    tags = re.findall(r'<([a-zA-Z]+)', page)
    assert tags.count('svg') == 6 and not {'script', 'img', 'link', 'iframe', 'object', 'embed'} & set(tags)
    assert not re.search(r'\s(src|href)=', page) and 'http' not in page.replace('http-equiv', '')
    assert html.escape(message) in page

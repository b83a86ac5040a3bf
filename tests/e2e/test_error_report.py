"""tools/publisher/error-report's funnel over a site's logs folder as a vendor passes it: service requests by reply
kind, installers delivered whole (a cut and resumed download once, a probe that hung up never), failure
pages, each request counted once however the logs are given."""
import gzip
import html
import re
import shutil
import subprocess

import pytest

from conftest import TOOLS

AGENT, WHOLE = 'Mozilla/4.0 (compatible; MSIE 8.0)', '1048576-4194303/4194304'
FAILURE = '/error/?source=loomcraft&code=190&message=Bad&error=0x800b0100&version=0%2C1%2C0%2C377'


def access(day, second, client, target, status=200, kind='-', sent='-', ok=True, method='GET'):
    """A line of the site's access log; the day and second make its time and its request id."""
    return (f'10.0.0.{client} - - [{day}/Dec/2026:10:00:{second:02d} +0000] "{method} {target} HTTP/1.1" {status} 9 '
            f'"-" "{AGENT}" "-" 0.100 {1796800000 + day * 86400 + second}.250 {day:016x}{second:016x} {kind} '
            f'"{"bytes " + sent if sent != "-" else "-"}" {"OK" if ok else "-"}')


def service(day, second, client, kind, version='', status=200):
    return access(day, second, client, f'/getinstaller?key=0123abcd{version and "&version=0%2C1%2C0%2C" + version}'
                  '&compressed=1&id=0A0A', status, kind)


@pytest.mark.parametrize('copy', [False, True], ids=['folder-and-its-file', 'copy-then-folder'])
def test_funnel_of_a_logs_folder(tmp_path, copy):
    logs = tmp_path / 'logs'
    logs.mkdir()
    with gzip.open(logs / 'access.log.1.gz', 'wt') as rotated:   # the day before; read after access.log
        rotated.write('\n'.join([service(9, 1, 3, 'GET', '376'), access(9, 2, 3, '/files/setup.bin'),
                                 access(9, 3, 1, FAILURE.replace('377', '376')).split(' 0.100 ')[0] + ' 0.100']))
    (logs / 'access.log').write_text('\n'.join([
        service(10, 1, 1, 'GET', '377'), access(10, 2, 1, '/files/setup.bin'),   # a probe nginx logged whole ...
        access(10, 3, 1, '/files/setup.bin'),                          # ... and the download: once
        service(10, 4, 2, 'GET', '377'), access(10, 5, 2, '/files/setup.bin', ok=False),   # cut ...
        access(10, 6, 2, '/files/setup.bin', 206, sent=WHOLE),         # ... and resumed: once
        # cut unlogged, resumed: a new download (the day before's is whole), of 400 (the latest GET:)
        service(10, 7, 3, 'GET', '400'), access(10, 8, 3, '/files/setup.bin', 206, sent=WHOLE),
        service(10, 9, 7, 'GET', '400'), service(10, 10, 4, 'GOTO', '377'),
        service(10, 11, 5, 'unknown', status=404), service(10, 12, 5, 'unknown'),
        access(10, 13, 1, '/getinstaller?key=0123abcd', kind='GET', method='HEAD'),
        access(10, 14, 6, '/files/setup.bin'),                         # no service request: (unknown)
        access(10, 15, 4, FAILURE)]) + '\n')
    own = 'loomcraft-error-page-v{}\t2026-12-{}T10:00:{}+00:00\t10.0.0.{}\tGET\t200\t' + FAILURE
    (logs / 'error-pages.log').write_text('\n'.join([   # the access log's visits again, and one more
        own.format(1, '09', '03', 1).replace('377', '376'), own.format(2, 10, 15, 4) + f'\t{10:016x}{15:016x}',
        own.format(1, 10, '00', 4)]) + '\n')
    (logs / 'error.log').write_text('2026/12/10 10:00:05 [info] 12#12: *5 client closed connection\n')
    (logs / 'nginx.pid').write_text('12\n')
    if copy:
        shutil.copy(logs / 'access.log', tmp_path / 'access-copy.log')
    arguments = [tmp_path / 'access-copy.log', logs] if copy else [logs, logs / 'access.log']
    report = subprocess.run([TOOLS / 'error-report', *arguments, '--html', tmp_path / 'r.html'],
                            capture_output=True, text=True, check=True).stdout
    lines = report.splitlines()
    assert lines[0] == (f'3 failures and 0 crashes reported in {4 if copy else 3} files, 2026-12-09 to 2026-12-10; '
                        f'0 malformed lines skipped, 16 other requests, {17 if copy else 2} duplicate lines dropped')
    funnel = ('funnel: 8 service requests (5 answered GET:, 1 answered GOTO:, 2 unknown keys), '
              '5 installers delivered whole, 3 failure pages')
    assert lines[1] == funnel
    table = report.split('\nThe funnel\n')[1].split('\n\n')[0].splitlines()
    assert [re.split(r'  +', row.strip()) for row in table[1:]] == [
        ['2026-12-09', '0,1,0,376', '1', '1', '0', '0', '1', '1', '100%'],
        ['2026-12-10', '(none)', '2', '0', '0', '2', '0', '0', '-'],
        ['2026-12-10', '(unknown)', '0', '0', '0', '0', '1', '0', '-'],
        ['2026-12-10', '0,1,0,377', '3', '2', '1', '0', '2', '2', '100%'],
        ['2026-12-10', '0,1,0,400', '2', '2', '0', '0', '1', '0', '50%']]
    page = (tmp_path / 'r.html').read_text()
    assert f'<h2>The funnel</h2><p class="summary">{html.escape(funnel)}</p>' in page
    assert '<td>0,1,0,400</td><td class="n">2</td>' in page and '<script' not in page

"""The transfer code through an authenticating proxy (squid, Basic auth),
plain HTTP and HTTPS (CONNECT): credentials given up front, supplied by the
downloader's hook after a 407, wrong (presented once, never retried), or not
supplied at all; across a redirect, and a challenge met only after one."""
import pytest

from conftest import ReferenceService
from test_http_engine import DATA, E_ABORT, E_FAIL, FILE, S_OK, body_file, drive, outcome  # noqa: F401
from wine import winpath

UP_FRONT = ('--credentials', 'user', 'secret')
FROM_HOOK = ('--run-credentials', 'user', 'secret')
AUTH_FAILED = (E_FAIL, 227, 'Proxy authentication failed')
NO_CREDENTIALS = (E_ABORT, 234, 'Proxy authentication')


@pytest.fixture(params=['http', 'https'])
def origin(request, trusted_pki):
    tls = dict(zip(('cert', 'key'), trusted_pki.tls('good'))) if request.param == 'https' else {}
    with ReferenceService(port=0, **tls) as service:
        service.add_file(FILE, DATA)
        yield service


def proxy_lines(squid, origin, wanted=lambda entry: True):
    """squid's access log lines for this origin, once one satisfies `wanted`.
    (WinINet holding proxy credentials answers squid's challenge itself, so a
    407 line without a user may precede the authenticated request.)"""
    def mine(entry):
        return f'localhost:{origin.port}' in entry['url']
    squid.wait_for_access(lambda entry: mine(entry) and wanted(entry))
    return [entry for entry in squid.access_log_lines() if 'url' in entry and mine(entry)]


@pytest.mark.parametrize('options, hook_calls', [
    pytest.param(UP_FRONT, 0, id='up-front'),
    pytest.param(FROM_HOOK, 1, id='from-hook'),
    pytest.param(FROM_HOOK + ('--retries', '50'), 1, id='from-hook-with-retries'),
])
def test_authenticated_download(squid, origin, drive, body_file, options, hook_calls):
    report = drive(origin.url(FILE), *options, '--body', winpath(body_file), env={'http_proxy': squid.url})
    assert outcome(report) == (S_OK, 0, '')
    assert (report['status'], report['hookCalls']) == (200, hook_calls)
    assert body_file.read_bytes() == DATA
    assert len(origin.log) == 1
    method = 'CONNECT' if origin.scheme == 'https' else 'GET'
    lines = proxy_lines(squid, origin, lambda entry: entry['status'] == 200)
    assert [(entry['method'], entry['user']) for entry in lines if entry['status'] == 200] == [(method, 'user')]


@pytest.mark.parametrize('options, expected, hook_calls, user', [
    pytest.param(('--credentials', 'user', 'wrong'), AUTH_FAILED, 1, 'user', id='wrong-up-front'),
    pytest.param(('--run-credentials', 'user', 'wrong'), AUTH_FAILED, 2, 'user', id='wrong-from-hook'),
    pytest.param((), NO_CREDENTIALS, 1, None, id='none'),
    pytest.param(('--retries', '50'), NO_CREDENTIALS, 1, None, id='none-with-retries'),
])
def test_refused_by_proxy(squid, origin, drive, options, expected, hook_calls, user):
    # Silent: the hook replaces no refused credentials. With retries, neither a
    # refusal nor a missing credential is tried again.
    if user is not None:
        options += ('--retries', '50')
    report = drive(origin.url(FILE), '--silent', *options, env={'http_proxy': squid.url})
    assert outcome(report) == expected
    assert (report['status'], report['hookCalls'], report['bodyLength']) == (407, hook_calls, 0)
    assert origin.log == []
    lines = proxy_lines(squid, origin, lambda entry: entry['user'] == user)
    assert {entry['status'] for entry in lines} == {407}
    if user is None:
        assert len(lines) == 1, lines      # one request, and no further attempt
    else:                                  # the credentials were presented once, and refused
        assert [entry['user'] for entry in lines if entry['user']] == [user], lines


def redirect(service, path, location):
    service.set_default_fault(path, status=302, extra_headers=(('Location', location),))


def test_credentials_from_the_hook_carry_across_a_redirect(squid, origin, drive, body_file):
    # (Wine's WinINet keeps proxy credentials set on one request for the whole session and
    # answers later challenges itself, so under Wine the next hop passes even without them.)
    redirect(origin, '/one', FILE)
    report = drive(origin.url('/one'), *FROM_HOOK, '--body', winpath(body_file), env={'http_proxy': squid.url})
    assert outcome(report) == (S_OK, 0, '')
    assert (report['status'], report['hookCalls']) == (200, 1)    # asked once, for both hops
    assert body_file.read_bytes() == DATA
    assert [request.path for request in origin.log] == ['/one', FILE]


@pytest.mark.parametrize('options, expected', [
    pytest.param(FROM_HOOK, (S_OK, 0, ''), id='from-hook'),
    pytest.param(('--silent',), NO_CREDENTIALS, id='none'),
])
def test_challenge_met_after_a_redirect(squid, drive, options, expected):
    # The first hop goes to the origin directly, the redirect leads through the proxy.
    with ReferenceService(port=0) as plain:
        plain.add_file(FILE, DATA)
        target = f'http://127.0.0.1:{plain.port}{FILE}'
        redirect(plain, '/one', target)
        report = drive(plain.url('/one'), *options, env={'http_proxy': squid.url, 'no_proxy': 'localhost'})
        reached = [(request.path, request.header('Via') is not None) for request in plain.log]
    assert (outcome(report), report['hookCalls']) == (expected, 1)
    assert reached == [('/one', False)] + [(FILE, True)] * (expected[0] == S_OK)
    assert squid.wait_for_access(lambda entry: entry['url'] == target and entry['status'] == 407)

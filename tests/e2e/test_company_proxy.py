"""Silent runs of the launcher behind an authenticating squid, for each scheme
a company proxy uses (Basic, NTLM, Negotiate falling back to NTLM): the right
credentials install, refused ones cost one refused presentation, and none
end the run at once."""
import time

import pytest

from conftest import REFUSED_PROXY_USER
from launchers import E_FAIL, run_launcher
from test_workflow import installer, installer_bytes, offered, vendor  # noqa: F401

E_ABORT = 0x80004004
SCHEMES = ('basic', 'ntlm', 'negotiate')
RIGHT = {'basic': ('user', 'secret'), 'ntlm': ('DOMAIN\\user', 'secret'), 'negotiate': ('DOMAIN\\user', 'secret')}
# Basic's password file and the NTLM helper's check refuse a wrong password;
# the helper also refuses one user whatever the password.
REFUSED = {'basic': ('user', 'wrong'), 'ntlm': (REFUSED_PROXY_USER, 'secret'), 'negotiate': ('DOMAIN\\user', 'wrong')}
# A refusal reaches squid's log before the launcher hears of it; this wait
# would see a second presentation the run had made.
SETTLE = 1.0


@pytest.mark.parametrize('given', ['right', 'refused', 'none'])
@pytest.mark.parametrize('scheme', SCHEMES)
def test_silent_run_behind_a_company_proxy(scheme, given, proxies, wine, vendor, offered, installer):
    proxy = proxies(scheme)
    credentials = {'right': RIGHT, 'refused': REFUSED}[given][scheme] if given != 'none' else None
    logged, refusals = len(proxy.access_log_lines()), len(proxy.refused_presentations())
    result = run_launcher(wine, vendor, *(('/proxyauth', *credentials) if credentials else ()),
                          env=dict(installer.env, http_proxy=proxy.url))
    time.sleep(SETTLE)
    refused = proxy.refused_presentations()[refusals:]
    if given == 'right':
        assert result.exit_code == 0, result
        assert installer.argv[-3:] == ['/proxyauth', *credentials]
        assert proxy.wait_for_access(lambda entry: entry['status'] == 200 and entry['user'] == credentials[0])
        assert refused == []
        return
    assert not installer.started and offered.log == []
    if given == 'refused':
        assert (result.exit_code, result.stdout) == (E_FAIL, b'Failed - Proxy authentication failed - 227\r\n')
        assert refused == [credentials[0].split('\\')[-1]]   # presented once, never again
    else:
        assert (result.exit_code, result.stdout) == (E_ABORT, b'Failed - Proxy authentication - 234\r\n')
        # One request, no attempt more. (Against NTLM alone, Wine's WinINet
        # also opens a handshake for the logged-on user, with nothing to end it.)
        requests = [(entry['status'], entry['user']) for entry in proxy.access_log_lines()[logged:]]
        assert requests == [(407, None)] * (2 if scheme == 'ntlm' else 1)
        assert refused == []

"""Fixtures shared by every end-to-end test: the build's programs, the test
run's own Wine prefix with one persistent wineserver and an Xvfb display, the
test PKI (its root trusted inside that prefix only), signed copies of
programs, the reference service on the launcher's built-in endpoint, and
authenticating squids (Basic, NTLM, Negotiate)."""
import importlib.machinery
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import time

import pytest

from wine import Wine, Xvfb, winpath  # noqa: F401  (winpath is re-exported for tests)

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get('LOOMCRAFT_BUILD_DIR', REPO / 'build')).resolve()
BIN = BUILD / 'bin'
# Two test runs at once need two run folders (each has its own Wine prefix).
RUN_FOLDER = pathlib.Path(os.environ.get('LOOMCRAFT_E2E_RUN_DIR', BUILD / 'e2e')).resolve()
TOOLS = REPO / 'tools' / 'publisher'   # what the publisher runs on its servers, under test
DEV_TOOLS = REPO / 'tools' / 'dev'     # the test PKI, the reference service
# The launcher's built-in endpoint, https://localhost:47443, unless the build
# was given another port (for a second test run beside this one).
SERVICE_PORT = int(os.environ.get('LOOMCRAFT_SERVICE_PORT', '47443'))

sys.path.insert(0, str(DEV_TOOLS))
from reference_service import ReferenceService, compress  # noqa: E402,F401  (compress is re-exported for tests)


def load_tool(name):
    """A tool without a .py name, as a module."""
    loader = importlib.machinery.SourceFileLoader(name.replace('-', '_'), str(TOOLS / name))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


# Whom the launcher expects installers to be signed by, from their one definition.
PUBLISHER, ISSUER = load_tool('check-installer').expected_names()


class Pki:
    """The throw-away test PKI, and signing with it."""

    def __init__(self, folder):
        self.folder = pathlib.Path(folder)

    def path(self, name):
        return self.folder / name

    def tls(self, name='good'):
        return self.folder / f'tls-{name}.pem', self.folder / f'tls-{name}.key'

    def sign(self, source, target, signer='good', time_stamped=False):
        """Signs a copy of `source` as `target` with the signing set `signer`, time-stamped now by the
        test TSA when asked."""
        target = pathlib.Path(target)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
        stamp = ['-TSA-certs', self.folder / 'tsa.pem', '-TSA-key', self.folder / 'tsa.key',
                 '-TSA-time', str(int(time.time()))] if time_stamped else []
        subprocess.run([TOOLS / 'sign-file', self.folder / f'sign-{signer}.pem', self.folder / f'sign-{signer}.key',
                        target, *stamp], check=True)
        return target


def stamp(path, key):
    subprocess.run([TOOLS / 'stamp-key', str(path), key], check=True, capture_output=True)
    return path


@pytest.fixture(scope='session')
def bin_folder():
    if not (BIN / 'loomcraft.exe').exists():
        pytest.exit(f'{BIN / "loomcraft.exe"} is missing: build first (scripts/test does)', returncode=2)
    return BIN


@pytest.fixture(scope='session')
def run_folder():
    RUN_FOLDER.mkdir(parents=True, exist_ok=True)
    return RUN_FOLDER


@pytest.fixture(scope='session')
def display():
    xvfb = Xvfb().start()
    yield xvfb.display
    xvfb.stop()


@pytest.fixture(scope='session')
def wine(run_folder, bin_folder, display):
    instance = Wine(run_folder, bin_folder, display).start()
    yield instance
    instance.stop()


@pytest.fixture(scope='session')
def pki(run_folder):
    folder = run_folder / 'pki'
    subprocess.run([DEV_TOOLS / 'make-test-pki', folder], check=True)
    return Pki(folder)


@pytest.fixture(scope='session')
def trusted_pki(pki, wine, bin_folder):
    """The PKI with its root in the test prefix's ROOT store."""
    result = wine.run(bin_folder / 'trustroot.exe', winpath(pki.path('root.der')))
    assert result.exit_code == 0, result
    return pki


@pytest.fixture
def browser(wine):
    """The URLs opened in the (stand-in) browser during one test."""
    wine.clear_opened_urls()
    yield wine
    wine.clear_opened_urls()


@pytest.fixture
def launcher(bin_folder, tmp_path):
    """A private, unsigned copy of the launcher, so a test may sign, stamp or surround it freely."""
    copy = tmp_path / 'launcher' / 'loomcraft.exe'
    copy.parent.mkdir()
    shutil.copyfile(bin_folder / 'loomcraft.exe', copy)
    return copy


@pytest.fixture
def service(trusted_pki):
    """The reference service on the launcher's built-in endpoint, fresh for each test."""
    cert, key = trusted_pki.tls('good')
    with ReferenceService(cert=cert, key=key, port=SERVICE_PORT) as instance:
        yield instance


PROXY_USERS = {'user': 'secret'}
REFUSED_PROXY_USER = 'locked'   # the NTLM helper refuses it whatever its password


@pytest.fixture(scope='session')
def proxies(run_folder):
    """proxies(scheme): the session's squid demanding that scheme ('basic',
    'ntlm' or 'negotiate'), started when first asked for."""
    from proxy import SquidProxy
    started = {}

    def proxy(scheme):
        if scheme not in started:
            started[scheme] = SquidProxy(run_folder, users=PROXY_USERS, name=f'squid-{scheme}', scheme=scheme,
                                         refused=[REFUSED_PROXY_USER]).start()
        return started[scheme]
    yield proxy
    for instance in started.values():
        instance.stop()


@pytest.fixture(scope='session')
def squid(proxies):
    return proxies('basic')

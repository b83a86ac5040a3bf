"""What every bench shares: the build it measures, a check of everything it
needs before it starts anything, and one owner of whatever it starts, which
stops it all on every way out: success, failure, an exception, SIGINT and
SIGTERM.

    def main():
        harness.require('name', programs=['loomcraft.exe'], tools=['curl'])
        with harness.Started() as started:
            wine = started.wine(folder, display)
            service = started.enter_context(ReferenceService(...))
            nginx = started.process(['nginx', ...])

    if __name__ == '__main__':
        harness.main(main)
"""
import contextlib
import os
import pathlib
import shutil
import signal
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get('LOOMCRAFT_BUILD_DIR', REPO / 'build')).resolve()
BIN = BUILD / 'bin'
# The launcher's built-in endpoint: 47443 unless the build was configured with
# another port (so that a bench can run beside a test run of another build).
SERVICE_PORT = int(os.environ.get('LOOMCRAFT_SERVICE_PORT', '47443'))
STOPPING_SIGNALS = (signal.SIGINT, signal.SIGTERM)
WINE_TOOLS = ('wine', 'wineserver')
PKI_TOOLS = ('openssl', 'faketime')   # what tools/dev/make-test-pki calls

sys.path[:0] = [str(REPO / 'tools' / 'dev'), str(REPO / 'tests' / 'e2e')]
from wine import WIN64, Wine, Xvfb, end_process  # noqa: E402


def require(bench, programs, tools):
    """Exits with one line naming what is missing: the build's programs first, then the tools."""
    missing = [name for name in programs if not (BIN / name).is_file()]
    if missing:
        sys.exit(f'{bench}: {" ".join(missing)} missing in {BIN}: run scripts/build first '
                 '(or point LOOMCRAFT_BUILD_DIR at a build)')
    search = os.environ.get('PATH', os.defpath)
    if WIN64:
        search = f'{REPO / "scripts" / "wine64"}:{search}'
    absent = [tool for tool in tools if shutil.which(tool, path=search) is None]
    if absent:
        sys.exit(f'{bench}: {" ".join(absent)} not found: scripts/setup installs what the benches use')


class Interrupted(BaseException):
    """SIGINT or SIGTERM arrived. Not an Exception, so that no `except Exception` of a bench swallows it."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


_hold = None   # while a start is held: the signals that came meanwhile


def _interrupt(signum, _frame):
    if _hold is not None:
        _hold.append(signum)
        return
    raise Interrupted(signum)


@contextlib.contextmanager
def _holding_signals():
    """SIGINT and SIGTERM wait until the block is done, then interrupt as usual."""
    global _hold
    _hold = []
    try:
        yield
    finally:
        came, _hold = _hold, None
        if came:
            raise Interrupted(came[0])


class Started(contextlib.ExitStack):
    """Whatever a bench started, stopped in reverse order when its `with` block is left."""

    def __enter__(self):
        self._handlers = {signum: signal.signal(signum, _interrupt) for signum in STOPPING_SIGNALS}
        return super().__enter__()

    def __exit__(self, *exc):
        # A second Ctrl-C must not cut the stopping short.
        for signum in STOPPING_SIGNALS:
            signal.signal(signum, signal.SIG_IGN)
        try:
            return super().__exit__(*exc)
        finally:
            for signum, handler in self._handlers.items():
                signal.signal(signum, handler)

    def xvfb(self):
        xvfb = Xvfb()
        self.callback(xvfb.stop)
        return xvfb.start()

    def wine(self, folder, display):
        """A fresh prefix in `folder` with its own server, which is stopped even when starting it was cut short."""
        wine = Wine(folder, BIN, display)
        self.callback(_stop_wine, wine)
        return wine.start()

    def process(self, command, **options):
        """A program started as a child of the bench (subprocess.Popen's options), ended with SIGTERM when
        the bench stops. Its stop is in place before it starts, and a signal while it starts waits until
        the bench holds it."""
        started = []
        self.callback(lambda: started and end_process(started[0]))
        with _holding_signals():
            started.append(subprocess.Popen(command, **options))
        return started[0]


def _stop_wine(wine):
    try:
        wine.stop()
    except subprocess.TimeoutExpired as late:
        sys.exit(f'{pathlib.Path(sys.argv[0]).name}: the Wine server of {wine.prefix} did not stop within '
                 f'{late.timeout:g} s: stop it with WINEPREFIX={wine.prefix} wineserver -k')


def main(run):
    """Runs a bench's main(); after an interruption (everything stopped) it exits as shells expect of that signal."""
    try:
        sys.exit(run())
    except Interrupted as interrupted:
        print(f'{pathlib.Path(sys.argv[0]).name}: stopped by {interrupted}', file=sys.stderr)
        sys.exit(128 + interrupted.signum)

"""The test run's own Wine: a fresh prefix under the build folder, one
persistent wineserver, an Xvfb display, and a browser stand-in that records
every URL the programs under test open, exactly."""
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[2]
PROXY_VARIABLES = ('http_proxy', 'https_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'no_proxy', 'NO_PROXY',
                   'all_proxy', 'ALL_PROXY')


def runs_32bit_code():
    """False on machines whose kernel runs no 32-bit code: there no 32-bit
    Wine starts, and the tests drive the 64-bit build under 64-bit Wine
    (scripts/wine-env decides the same way, LOOMCRAFT_NO_32BIT=1 included)."""
    if os.environ.get('LOOMCRAFT_NO_32BIT') == '1':
        return False
    try:
        return subprocess.run(['/lib/ld-linux.so.2', '--version'], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


WIN64 = not runs_32bit_code()
# A prefix made beforehand, used as it is instead of a fresh one: the 32-bit
# guest's image carries one (tests/guest), since making a prefix there takes
# most of a minute. Its changes are thrown away at the guest's power-off.
PREPARED_PREFIX = os.environ.get('LOOMCRAFT_WINE_PREFIX')


def winpath(path):
    """The Windows form of a host path, through Wine's Z: drive."""
    return 'Z:' + str(pathlib.Path(path).resolve()).replace('/', '\\')


class Xvfb:
    def __init__(self):
        self.display = None
        self.process = None

    def start(self):
        for number in range(90, 190):
            if os.path.exists(f'/tmp/.X{number}-lock') or os.path.exists(f'/tmp/.X11-unix/X{number}'):
                continue
            # Owned from the start: stop() ends it even when this wait is interrupted.
            self.process = subprocess.Popen(['Xvfb', f':{number}', '-screen', '0', '1024x768x24', '-nolisten',
                                             'tcp'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.process.poll() is None:
                if os.path.exists(f'/tmp/.X11-unix/X{number}'):
                    self.display = f':{number}'
                    return self
                time.sleep(0.05)
            self.stop()
        raise RuntimeError('no Xvfb display could be started')

    def stop(self):
        if self.process is not None:
            end_process(self.process)
            self.process = None


def end_process(process, seconds=10):
    """Ends a child process: SIGTERM, and SIGKILL when it has not ended after `seconds`."""
    process.terminate()
    try:
        process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class RunResult:
    def __init__(self, exit_code, stdout, stderr):
        self.exit_code = exit_code  # full 32-bit exit code, or None when it timed out
        self.stdout = stdout        # bytes
        self.stderr = stderr        # text

    def __repr__(self):
        code = 'timed out' if self.exit_code is None else f'0x{self.exit_code:08x}'
        return f'RunResult({code}, stdout={self.stdout!r}, stderr={self.stderr[-500:]!r})'


class Spawned:
    """A program started through runwait, output going to files (see Wine.command)."""

    def __init__(self, wine, program, args, env, cwd, timeout):
        full_env = dict(wine.env, RUNWAIT_TIMEOUT_MS=str(int(timeout * 1000)), **(env or {}))
        self.timeout = timeout
        self.out, self.err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self.process = subprocess.Popen(['wine', str(wine.bin / 'runwait.exe'), winpath(program),
                                         *[str(a) for a in args]], env=full_env, cwd=cwd, stdout=self.out,
                                        stderr=self.err)

    def running(self):
        return self.process.poll() is None

    def result(self, timeout=None):
        try:
            self.process.wait(timeout=self.timeout + 30 if timeout is None else timeout)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
        self.out.seek(0)
        self.err.seek(0)
        stdout, stderr = self.out.read(), self.err.read().decode('utf-8', 'replace')
        self.out.close()
        self.err.close()
        # Wine may print a message of its own on the same line (a thread of an
        # exiting process losing its server connection), so search, not match.
        found = re.findall(r'runwait: exit code 0x([0-9a-f]{8})', stderr)
        exit_code = int(found[-1], 16) if found else None
        if exit_code is None and 'runwait: timed out' not in stderr:
            raise RuntimeError(f'runwait failed: {stderr}')
        return RunResult(exit_code, stdout, stderr)


DEFAULT_DPI = 96


class Wine:
    """A prefix of its own, at 96 DPI (100 %) or, for tests of display
    scaling, at another: Wine takes its windows' DPI from the prefix's
    LogPixels, which start() sets before any program of the tests runs
    (Wine 8 reads it as each process starts)."""

    def __init__(self, run_folder, bin_folder, display, dpi=DEFAULT_DPI):
        self.run_folder = pathlib.Path(run_folder)
        self.bin = pathlib.Path(bin_folder)
        self.dpi = dpi
        suffix = '' if dpi == DEFAULT_DPI else f'-{dpi}dpi'
        # A prefix made beforehand (the guest's) serves the default display scale.
        self.prefix = pathlib.Path(PREPARED_PREFIX) if PREPARED_PREFIX and not suffix else \
            self.run_folder / f'wineprefix{suffix}'
        self.opened_urls_file = self.run_folder / f'opened-urls{suffix}.txt'
        self.env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
        self.env.update(WINEPREFIX=str(self.prefix), WINEARCH='win64' if WIN64 else 'win32', WINEDEBUG='-all',
                        LANG='C.UTF-8', DISPLAY=display)
        if WIN64:
            self.env['PATH'] = f'{REPO / "scripts" / "wine64"}:{self.env["PATH"]}'
        self.env.pop('LC_ALL', None)

    # -- lifetime -----------------------------------------------------------

    def start(self):
        if not (PREPARED_PREFIX and self.prefix == pathlib.Path(PREPARED_PREFIX)):
            if self.prefix.exists():
                subprocess.run(['wineserver', '-k'], env=self.env, stderr=subprocess.DEVNULL)
                shutil.rmtree(self.prefix)
            self.prefix.mkdir(parents=True)
        self.start_server()
        # The "browser": a test program registered as the open command of
        # both schemes receives each URL exactly as ShellExecuteW passed it.
        command = _reg_escape(f'"{winpath(self.bin / "capture.exe")}" "{winpath(self.opened_urls_file)}" "%1"')
        self.import_registry(f'''REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CLASSES_ROOT\\http\\shell\\open\\command]
@="{command}"

[HKEY_CLASSES_ROOT\\https\\shell\\open\\command]
@="{command}"

[HKEY_CURRENT_USER\\Control Panel\\Desktop]
"LogPixels"=dword:{self.dpi:08x}

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts]
"LogPixels"=dword:{self.dpi:08x}
''')
        return self

    def start_server(self):
        """Starts the persistent wineserver and Wine's own services. They must
        not inherit a pipe that a test reads: they outlive every test program,
        and a reader would wait for them forever."""
        subprocess.run(['wineserver', '-p'], env=self.env, check=True)
        subprocess.run(['wine', 'wineboot', '-i'], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)

    def stop_server(self):
        subprocess.run(['wineserver', '-k'], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(['wineserver', '-w'], env=self.env, stderr=subprocess.DEVNULL, timeout=60)

    def stop(self):
        self.stop_server()

    def import_registry(self, text):
        reg = self.run_folder / 'import.reg'
        reg.write_text(text)
        subprocess.run(['wine', 'regedit', '/S', winpath(reg)], env=self.env, check=True)
        # regedit returns before the server has flushed; reading back through
        # reg.exe makes sure later processes see the values.
        subprocess.run(['wine', 'reg', 'query', 'HKCU\\Software\\Wine'], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # -- running programs ---------------------------------------------------

    def command(self, *command, env=None, cwd=None, timeout=150):
        """Runs a command in this Wine environment and returns its exit status,
        standard output and standard error (bytes). Output goes through files,
        never pipes: Wine starts helper processes (the desktop, the RPC service)
        on demand, they inherit the handles of the program that needed them and
        outlive it, and a pipe would then never reach its end."""
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            completed = subprocess.run(list(command), env=full_env, cwd=cwd, stdout=out, stderr=err,
                                       timeout=timeout)
            out.seek(0)
            err.seek(0)
            return completed.returncode, out.read(), err.read()

    def run(self, program, *args, env=None, cwd=None, timeout=120):
        """Runs a Windows program through runwait and returns its full exit code,
        its standard output (bytes) and standard error (text)."""
        return self.spawn(program, *args, env=env, cwd=cwd, timeout=timeout).result()

    def spawn(self, program, *args, env=None, cwd=None, timeout=120):
        """Starts a Windows program through runwait (which ends it after
        `timeout` seconds) and returns at once; result() waits for it."""
        return Spawned(self, program, args, env, cwd, timeout)

    def opened_urls(self):
        """URLs opened with ShellExecuteW since the last clear_opened_urls()."""
        if not self.opened_urls_file.exists():
            return []
        return self.opened_urls_file.read_text().splitlines()

    def opened_argument_lists(self):
        """The browser's whole argument list for each URL opened since the last clear_opened_urls()."""
        recorded = self.opened_urls_file.with_name(self.opened_urls_file.name + '.args')
        if not recorded.exists():
            return []
        return [[bytes.fromhex(a).decode() for a in line.split(' ') if a] for line in recorded.read_text().splitlines()]

    def clear_opened_urls(self):
        self.opened_urls_file.unlink(missing_ok=True)
        self.opened_urls_file.with_name(self.opened_urls_file.name + '.args').unlink(missing_ok=True)


def _reg_escape(text):
    return text.replace('\\', '\\\\').replace('"', '\\"')

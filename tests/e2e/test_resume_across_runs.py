"""A download cut for good (the launcher killed, cancelled, or its retries
outlasted) goes on from where it stopped in the next run, through the nginx
site that tools/publisher/service-config generates, rate-limited so that runs can
be stopped mid-download; and what the next run must not trust or cannot use
is dropped without a word to the user."""
import hashlib
import os
import pathlib
import re
import signal
import struct
import time
import zlib

import pytest

from conftest import SERVICE_PORT
from launchers import run_launcher, temp_folder, until, vendor_launcher, work_folders
from test_interactive import IDCANCEL, PROGRESS, interactive  # noqa: F401  (fixture)
from test_service_site import TABLE, kill_a_worker_mid_download, public, site  # noqa: F401  (fixtures)
from test_workflow import installer, vendor  # noqa: F401  (fixtures)
from wine import winpath

URL = f'https://localhost:{SERVICE_PORT}/files/setup.bin'
RATE = '1m'   # the 4 MiB installer takes about 4 s: time to stop a run half-way


def partial_path(wine):
    name = hashlib.sha1(URL.encode('utf-16-le')).hexdigest().upper()
    return temp_folder(wine) / f'-{name}.partial'


def kept_bytes(partial):
    """How many compressed bytes the partial's header counts (0 when it has none)."""
    try:
        header = partial.read_bytes()[:24]
    except OSError:
        return 0
    return struct.unpack_from('<Q', header, 16)[0] if len(header) == 24 else 0


def launcher_pid(launcher):
    """The Wine process running `launcher` (runwait's own names it only as an argument)."""
    name = winpath(launcher).lower().encode()
    for entry in pathlib.Path('/proc').glob('[0-9]*'):
        try:
            if entry.joinpath('cmdline').read_bytes().split(b'\0', 1)[0].lower() == name:
                return int(entry.name)
        except OSError:
            pass
    return None


def installer_requests(site):
    """(status, body bytes sent, Range asked for) of each request for the installer so far."""
    pattern = re.compile(r'"GET /files/setup\.bin HTTP/1\.1" (\d+) (\d+) "[^"]*" "[^"]*" "([^"]*)"')
    return [(int(m[1]), int(m[2]), m[3]) for m in map(pattern.search, site.log('access.log')) if m]


@pytest.fixture
def slow_site(site, wine):
    site.configure(TABLE, '--limit-rate', RATE)
    site.rotate_logs()
    partial_path(wine).unlink(missing_ok=True)
    yield site
    partial_path(wine).unlink(missing_ok=True)


def cut_half_way(site, wine, vendor, installer, interactive, how):
    """Runs the launcher until it has kept half the body, then stops it `how`; returns the partial's kept
    byte count."""
    partial = partial_path(wine)
    half = (site.files / 'setup.bin').stat().st_size // 2
    if how == 'cancelled':
        run = interactive(vendor, env=installer.env)
        run.window(PROGRESS)
    else:
        run = wine.spawn(vendor, '/silent', '.', env=installer.env)
    assert until(lambda: kept_bytes(partial) >= half, 60)
    if how == 'killed':
        os.kill(launcher_pid(vendor), signal.SIGKILL)
        run.result()
    elif how == 'cancelled':
        run.drive('command', PROGRESS, IDCANCEL)
        assert run.finish().exit_code == 1
    else:   # the server goes away for longer than the retries last
        site.stop()
        assert run.result().stdout.startswith(b'Failed - ')
        site.conf = None
        site.configure(TABLE, '--limit-rate', RATE)
    assert not installer.started
    return kept_bytes(partial)


@pytest.mark.parametrize('how', ['killed', 'cancelled', 'retries outlasted'])
def test_a_download_cut_for_good_goes_on_in_the_next_run(slow_site, wine, vendor, installer, interactive, public,
                                                         tmp_path, how):
    before = set(work_folders(wine))
    kept = cut_half_way(slow_site, wine, vendor, installer, interactive, how)
    left = set(work_folders(wine)) - before
    assert len(left) == (0 if how == 'retries outlasted' else 1)
    size = (slow_site.files / 'setup.bin').stat().st_size
    assert size // 2 <= kept < size
    already = len(installer_requests(slow_site))
    copy = tmp_path / 'started.exe'
    installer.env['TESTINSTALLER_COPY_SELF'] = winpath(copy)
    if how == 'cancelled':   # interactively again: the bar starts at the resumed fraction
        run = interactive(vendor, env=installer.env)
        run.window(PROGRESS)
        bar = run.wait_for_bar(lambda bar: bar[3] > 0)['bar']
        assert bar[3] >= kept * 1000 // size - 1, bar
        assert run.finish().exit_code == 0
    else:
        assert run_launcher(wine, vendor, env=installer.env).exit_code == 0
    assert copy.read_bytes() == (public / 'installer.exe').read_bytes(), 'byte-exact'
    resumed = installer_requests(slow_site)[already:]
    assert resumed[0][0] == 206 and resumed[0][2] == f'bytes={kept}-{size - 1}', resumed
    assert sum(sent for _, sent, _ in resumed) <= size - kept + (1 << 20)
    assert not partial_path(wine).exists(), 'a completed download leaves no partial'
    assert not left & set(work_folders(wine)), 'nor the work folder of the run that was stopped'


def test_an_installer_replaced_between_runs_is_downloaded_anew(slow_site, wine, vendor, installer, interactive,
                                                                trusted_pki, bin_folder, tmp_path):
    cut_half_way(slow_site, wine, vendor, installer, interactive, 'killed')
    served = slow_site.files / 'setup.bin'
    original = served.read_bytes()
    unsigned = tmp_path / 'new.exe'
    unsigned.write_bytes((bin_folder / 'testinstaller.exe').read_bytes() + os.urandom(3 << 20))
    new = trusted_pki.sign(unsigned, tmp_path / 'new-signed.exe').read_bytes()
    try:
        served.write_bytes(zlib.compress(new, 1))
        copy = tmp_path / 'started.exe'
        installer.env['TESTINSTALLER_COPY_SELF'] = winpath(copy)
        already = len(installer_requests(slow_site))
        # The new body is cut as well: the run resumes the new one, not the kept one.
        kill_a_worker_mid_download(slow_site, wine.spawn(vendor, '/silent', '.', env=installer.env))
        assert copy.read_bytes() == new
        # The answer to If-Range (the whole new file) died with its worker, unlogged; then the rest of it.
        status, _, asked = installer_requests(slow_site)[-1]
        assert len(installer_requests(slow_site)) > already
        assert status == 206 and re.fullmatch(rf'bytes=[1-9]\d*-{served.stat().st_size - 1}', asked), asked
    finally:
        served.write_bytes(original)


@pytest.mark.parametrize('damage', ['bytes flipped', 'state cut short', "another user's", 'writable by everyone',
                                    'untouched for 8 days'])
def test_a_partial_that_fails_its_checks_is_dropped_silently(slow_site, wine, vendor, installer, interactive,
                                                             public, tmp_path, damage):
    cut_half_way(slow_site, wine, vendor, installer, interactive, 'killed')
    partial = partial_path(wine)
    data = bytearray(partial.read_bytes())
    if damage == 'bytes flipped':
        data[len(data) // 2] ^= 0xFF
        partial.write_bytes(data)
    elif damage == 'state cut short':
        partial.write_bytes(data[:30])
    elif damage == "another user's":
        os.chown(partial, 65534, 65534)
    elif damage == 'writable by everyone':
        partial.chmod(0o666)
    else:   # the next run of the user removes it before it looks for one
        week_ago = time.time() - 8 * 24 * 3600
        os.utime(partial, (week_ago, week_ago))
    copy = tmp_path / 'started.exe'
    installer.env['TESTINSTALLER_COPY_SELF'] = winpath(copy)
    already = len(installer_requests(slow_site))
    result = run_launcher(wine, vendor, env=installer.env)
    assert (result.exit_code, result.stdout) == (0, b'Error reading report\r\n')
    assert copy.read_bytes() == (public / 'installer.exe').read_bytes()
    assert installer_requests(slow_site)[already][2] == '-', 'from zero: no range asked for'
    assert not partial.exists()


def test_a_run_leaves_the_work_folder_of_a_running_launcher_alone(slow_site, wine, vendor, installer, trusted_pki,
                                                                   launcher, tmp_path):
    running = wine.spawn(vendor, '/silent', '.', env=installer.env)
    assert until(lambda: kept_bytes(partial_path(wine)) > 0, 60)
    other = vendor_launcher(trusted_pki, launcher, tmp_path / 'other')
    assert run_launcher(wine, other).exit_code == 0   # the same download, without the partial the first one holds
    assert running.result().exit_code == 0 and installer.started

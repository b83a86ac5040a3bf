"""The benches check what they need before they start anything, and stop
whatever they started on every way out."""
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BENCHES = sorted(p for p in (REPO / 'bench').iterdir() if p.is_file() and os.access(p, os.X_OK))


def marked_processes(mark):
    """(pid, name) of every process whose environment holds BENCH_TEST_MARK=mark: what a bench started, at any depth."""
    wanted, found = f'BENCH_TEST_MARK={mark}'.encode(), []
    for entry in pathlib.Path('/proc').iterdir():
        try:
            if entry.name.isdigit() and wanted in (entry / 'environ').read_bytes().split(b'\0'):
                found.append((int(entry.name), (entry / 'comm').read_text().strip()))
        except OSError:
            pass
    return found


@pytest.fixture(scope='module')
def path_without_faketime(tmp_path_factory):
    """A PATH that finds every program the test run's does, but faketime."""
    folder = tmp_path_factory.mktemp('path')
    for directory in os.environ['PATH'].split(os.pathsep):
        for program in pathlib.Path(directory).glob('*') if os.path.isdir(directory) else ():
            if program.name != 'faketime' and not os.path.lexists(folder / program.name):
                (folder / program.name).symlink_to(program)
    return str(folder)


@pytest.mark.parametrize('missing', ['build', 'faketime'])
@pytest.mark.parametrize('bench', BENCHES, ids=lambda path: path.name)
def test_a_bench_missing_what_it_needs_stops_before_starting_anything(bench, missing, bin_folder,
                                                                     path_without_faketime, tmp_path):
    build = tmp_path / 'build'
    build.mkdir()
    env = dict(os.environ, LOOMCRAFT_BUILD_DIR=str(build), BENCH_TEST_MARK=str(tmp_path))
    if missing == 'faketime':
        (build / 'bin').symlink_to(bin_folder)
        env['PATH'] = path_without_faketime
    done = subprocess.run([bench], env=env, capture_output=True, text=True, timeout=30)
    said = 'run scripts/build first' if missing == 'build' else f'{bench.name}: faketime not found'
    assert done.returncode != 0 and done.stderr.count('\n') == 1 and said in done.stderr, done.stderr
    assert [p.name for p in build.iterdir()] == (['bin'] if missing == 'faketime' else [])
    assert marked_processes(tmp_path) == []


@pytest.fixture
def public_build(bin_folder):
    """A build folder that nginx's worker may read (pytest's own are private to their user)."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix='loomcraft-bench-'))
    folder.chmod(0o755)
    (folder / 'bin').symlink_to(bin_folder)
    yield folder
    shutil.rmtree(folder)


def test_install_ceiling_interrupted_while_nginx_starts_leaves_no_nginx(public_build, tmp_path):
    """A stand-in for nginx starts the real one and interrupts the bench once nginx has opened its logs."""
    build, stand_in = public_build, tmp_path / 'path' / 'nginx'
    stand_in.parent.mkdir()
    stand_in.write_text('#!/bin/sh\n'   # called as nginx -p SITE ...; $PPID is the bench
                        '(for i in $(seq 1000); do [ -e "$2/logs/error.log" ] && exec kill -INT $PPID; sleep 0.01; '
                        f'done) &\nexec {shutil.which("nginx")} "$@"\n')
    stand_in.chmod(0o755)
    env = dict(os.environ, LOOMCRAFT_BUILD_DIR=str(build), PATH=f'{stand_in.parent}:{os.environ["PATH"]}')
    done = subprocess.run([REPO / 'bench' / 'install_ceiling', '--install', '1', '--refused', '0'], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 128 + signal.SIGINT and 'stopped by SIGINT' in done.stderr, done.stderr
    assert (build / 'bench-ceiling' / 'site' / 'logs' / 'error.log').exists()   # nginx did start
    assert [pid for pid in pathlib.Path('/proc').glob('[0-9]*') if str(build).encode() in cmdline(pid)] == []


def cmdline(process):
    try:
        return (process / 'cmdline').read_bytes()
    except OSError:   # ended meanwhile
        return b''


def test_an_interrupted_bench_leaves_nothing_running(bin_folder, tmp_path):
    env = dict(os.environ, BENCH_TEST_MARK=str(tmp_path))
    bench = subprocess.Popen([REPO / 'bench' / 'http_download', '--size', '1', '--runs', '1'], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        names = set()
        # Mid-work: its display is up and its prefix's server is starting Wine.
        while not ('Xvfb' in names and any(n.startswith('wineserver') for n in names)):
            assert bench.poll() is None and time.monotonic() < deadline, bench.communicate()
            time.sleep(0.05)
            names = {name for _, name in marked_processes(tmp_path)}
        bench.send_signal(signal.SIGINT)
        _, stderr = bench.communicate(timeout=60)   # a server left running would hold the pipe open
    finally:
        bench.kill()
        left = marked_processes(tmp_path)
        for pid, _ in left:
            os.kill(pid, signal.SIGKILL)
    assert bench.returncode == 128 + signal.SIGINT and 'stopped by SIGINT' in stderr, stderr
    assert left == []

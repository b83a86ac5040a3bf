"""The benches check what they need before they start anything, and stop
whatever they started on every way out."""
import os
import pathlib
import signal
import subprocess
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


@pytest.mark.parametrize('bench', BENCHES, ids=lambda path: path.name)
def test_a_bench_without_a_build_stops_before_starting_anything(bench, tmp_path):
    env = dict(os.environ, LOOMCRAFT_BUILD_DIR=str(tmp_path), BENCH_TEST_MARK=str(tmp_path))
    done = subprocess.run([bench], env=env, capture_output=True, text=True, timeout=30)
    assert done.returncode != 0
    assert done.stderr.count('\n') == 1 and 'run scripts/build first' in done.stderr, done.stderr
    assert list(tmp_path.iterdir()) == [] and marked_processes(tmp_path) == []


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

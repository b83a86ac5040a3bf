"""The report target rules of "/silent" and the exit codes, with the real
launcher. An unsigned launcher fails the same way every time (no certificate
table: "Failed - 581"), which makes it a steady source of a failed run."""
import os
import pty
import re
import select
import subprocess

import pytest

from launchers import E_FAIL
from wine import winpath

FAILED_581 = b'Failed - 581\r\n'


@pytest.mark.parametrize('switch', ['/silent', '/SILENT', '/Silent'])
def test_silent_with_a_file_writes_the_report_there(wine, launcher, tmp_path, switch):
    target = tmp_path / 'report.txt'
    result = wine.run(launcher, switch, winpath(target))
    assert result.exit_code == E_FAIL
    assert target.read_bytes() == FAILED_581  # UTF-8, CR LF, no byte-order mark
    assert result.stdout == b''


def test_silent_with_a_full_stop_writes_to_standard_output(wine, launcher):
    result = wine.run(launcher, '/silent', '.')
    assert result.stdout == FAILED_581
    assert result.exit_code == E_FAIL


def on_a_terminal(wine, program, *args):
    """What reaches a terminal (a pseudo-terminal: runwait then has a console)
    from `program` started by runwait the way a console window starts a GUI
    program, as the terminal shows it (without its control sequences)."""
    master, terminal = pty.openpty()
    process = subprocess.Popen(['wine', str(wine.bin / 'runwait.exe'), winpath(program), *args], stdin=terminal,
                               stdout=terminal, stderr=terminal, env=dict(wine.env, RUNWAIT_DETACHED='1'))
    os.close(terminal)
    shown = b''
    while select.select([master], [], [], 0.5)[0] or process.poll() is None:
        try:
            shown += os.read(master, 4096)
        except OSError:   # no writer left
            break
    process.wait(timeout=60)
    os.close(master)
    shown = re.sub(rb'\x1b\[(\d*)C', lambda forward: b' ' * int(forward[1] or 1), shown)   # blanks skipped
    return re.sub(rb'\x1b\[[0-9;?]*[A-Za-z]', b'', shown)


def test_full_stop_from_a_console_window_writes_to_its_console(wine, launcher):
    # No standard output: the launcher attaches to the console of the program that started it.
    shown = on_a_terminal(wine, launcher, '/silent', '.')
    assert re.fullmatch(rb'Failed - 581\r+\nrunwait: exit code 0x80004005\r+\n', shown), shown
    # Without a console there either, nothing is written, and the outcome stays.
    result = wine.run(launcher, '/silent', '.', env={'RUNWAIT_DETACHED': '1'})
    assert (result.exit_code, result.stdout) == (E_FAIL, b'')


def test_relative_target_is_relative_to_the_current_folder(wine, launcher, tmp_path):
    folder = tmp_path / 'here'
    folder.mkdir()
    result = wine.run(launcher, '/silent', 'out.txt', cwd=folder)
    assert (folder / 'out.txt').read_bytes() == FAILED_581
    assert result.exit_code == E_FAIL


def test_report_replaces_a_longer_file(wine, launcher, tmp_path):
    target = tmp_path / 'report.txt'
    target.write_bytes(b'x' * 5000)
    wine.run(launcher, '/silent', winpath(target))
    assert target.read_bytes() == FAILED_581


@pytest.mark.parametrize('arguments', [
    ['/silent', ''],                # an empty value is taken, and means no report
    ['/silent'],
    ['/silent', '/proxyauth'],      # a switch is no value
    ['/silent', '/proxyauth', 'user', 'pw'],
], ids=['empty', 'alone', 'before-proxyauth', 'before-proxyauth-values'])
def test_no_target_means_no_report(wine, launcher, tmp_path, arguments):
    folder = tmp_path / 'cwd'
    folder.mkdir()
    result = wine.run(launcher, *arguments, cwd=folder)
    assert result.exit_code == E_FAIL
    assert result.stdout == b''
    assert list(folder.iterdir()) == []


def test_target_in_a_missing_folder_leaves_nothing_and_keeps_the_exit_code(wine, launcher, tmp_path):
    target = tmp_path / 'missing' / 'report.txt'
    result = wine.run(launcher, '/silent', winpath(target))
    assert result.exit_code == E_FAIL
    assert not target.parent.exists()


def test_later_silent_value_replaces_the_earlier_target(wine, launcher, tmp_path):
    first, second = tmp_path / 'first.txt', tmp_path / 'second.txt'
    wine.run(launcher, '/silent', winpath(first), 'pass-through', '/silent', winpath(second))
    assert not first.exists()
    assert second.read_bytes() == FAILED_581

"""The report target rules of "/silent" and the exit codes, with the real
launcher. An unsigned launcher fails the same way every time (no certificate
table: "Failed - 581"), which makes it a steady source of a failed run."""
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

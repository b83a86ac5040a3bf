"""scripts/setup on a machine whose package mirror is in mid-sync, against
stand-ins for the package tools placed first on PATH: no root, no mirror."""
import os
import pathlib
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
OS_RELEASE = dict(line.split('=', 1) for line in pathlib.Path('/etc/os-release').read_text().splitlines() if '=' in line)
CODENAME = OS_RELEASE['VERSION_CODENAME'].strip('"')
# complete: everything installed. mid-sync: update fails, install only when the release's suite is preferred.
# broken: update and install always fail.
STAND_IN = r'''#!/bin/sh
tool=$(basename "$0")
case "$tool" in
  sudo) exec "$@" ;;
  dpkg-query) [ "$MACHINE" = complete ] && printf 'install ok installed'; exit 0 ;;
esac
echo "$tool $*" >> "$CALLS"
case "$tool $*" in
  "dpkg --print-foreign-architectures") echo i386 ;;
  "apt-get update"*) echo 'E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size' >&2; exit 100 ;;
  "apt-get install"*"-o APT::Default-Release=$CODENAME "*) [ "$MACHINE" = mid-sync ] ;;
  "apt-get install"*) echo 'E: Unable to correct problems, you have held broken packages.' >&2; exit 100 ;;
esac
'''


@pytest.mark.parametrize('machine, status, message', [
    ('complete', 0, ''),
    ('mid-sync', 0, "apt-get install failed; trying once more, preferring the release's own suite"),
    ('broken', 1, 'setup: the package install failed; run by hand: apt-get install '),
])
def test_setup_survives_a_mirror_in_mid_sync(tmp_path, machine, status, message):
    stand_in, tools, calls = tmp_path / 'stand-in', tmp_path / 'bin', tmp_path / 'calls'
    stand_in.write_text(STAND_IN)
    stand_in.chmod(0o755)
    tools.mkdir()
    for tool in ('apt-get', 'dpkg', 'dpkg-query', 'sudo', 'sleep', 'systemctl', 'service'):
        (tools / tool).symlink_to(stand_in)
    env = dict(os.environ, PATH=f'{tools}:{os.environ["PATH"]}', MACHINE=machine, CALLS=str(calls), CODENAME=CODENAME)
    done = subprocess.run([REPO / 'scripts' / 'setup'], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == status, done.stderr
    assert message in done.stderr
    if machine == 'complete':
        assert not calls.exists()
        return
    called = calls.read_text().splitlines()
    updates = [c for c in called if c.startswith(('apt-get update', 'sleep'))]
    assert updates == ['apt-get update -qq', 'sleep 10', 'apt-get update -qq', 'sleep 10', 'apt-get update -qq']
    assert 'going on with the package lists there are' in done.stderr
    installs = [c for c in called if c.startswith('apt-get install')]
    assert len(installs) == 2 and 'Default-Release' not in installs[0]
    assert installs[1].startswith(f'apt-get install -y -qq --no-install-recommends -o APT::Default-Release={CODENAME} ')

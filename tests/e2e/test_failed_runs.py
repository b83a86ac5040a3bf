"""What a run leaves behind: nothing, whether it fails in the download, the
unpack, the write or the check, whether a cache copy meets a full disk, or
whether the work folder is swapped for a link while the installer runs."""
import contextlib
import os
import subprocess

import pytest

from launchers import KEY, run_launcher, temp_folder
from test_workflow import (INSTALLER_PATH, _flip_middle_byte, held_install, installer, installer_bytes,  # noqa: F401
                           offered, vendor)

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason='mounting a small file system needs root')


@contextlib.contextmanager
def small_file_system(folder, size):
    """`folder` (emptied) on a tmpfs of `size` bytes for the duration."""
    folder.mkdir(parents=True, exist_ok=True)
    subprocess.run(['mount', '-t', 'tmpfs', '-o', f'size={size}', 'tmpfs', folder], check=True)
    try:
        yield folder
    finally:
        subprocess.run(['umount', '-l', folder], check=True)


def everything_in(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob('*'))


@pytest.mark.parametrize('failure', ['download', 'unpack', 'write', 'check'])
def test_a_failed_run_leaves_the_temporary_folder_as_it_was(wine, vendor, service, installer, installer_bytes,
                                                            failure):
    service.add_installer(INSTALLER_PATH, _flip_middle_byte(installer_bytes) if failure == 'check'
                                   else installer_bytes)
    service.set_reply(KEY, 'GET:' + service.url(INSTALLER_PATH))
    if failure == 'download':
        service.set_reply(KEY, 'GET:https://localhost:1/setup.bin')   # nothing listens there
    if failure == 'unpack':
        service.add_file(INSTALLER_PATH, installer_bytes)              # not compressed
    temp = temp_folder(wine)
    with contextlib.ExitStack() as stack:
        if failure == 'write':   # room for the work folder, not for the installer in it
            stack.enter_context(small_file_system(temp, len(installer_bytes) // 2))
        before = everything_in(temp)
        result = run_launcher(wine, vendor, env=installer.env)
        after = everything_in(temp)
    expected = {'download': ' - 215\r\n', 'unpack': 'Failed - 86\r\n',
                'write': 'Failed - 515\r\n',   # a short write: the disk is full
                'check': 'Failed - Could not verify signature - 190\r\n'}[failure]
    assert result.stdout.decode().endswith(expected), result
    assert not installer.started
    assert after == before


@pytest.mark.parametrize('cache', ['persistent', 'temporary'])
def test_a_cache_copy_onto_a_full_disk_leaves_no_temporary_file(wine, vendor, offered, installer, installer_bytes,
                                                                cache):
    # Persistent: the cache folder holds less than the installer. Temporary:
    # the temporary folder holds the work folder's copy, not a second one.
    folder = vendor.parent / 'QuilloDownloads' / 'Files' if cache == 'persistent' else temp_folder(wine)
    size = len(installer_bytes) // 2 if cache == 'persistent' else len(installer_bytes) * 3 // 2
    args = () if cache == 'persistent' else ('/cache_keep',)
    with small_file_system(folder, size):
        before = everything_in(folder)
        result = run_launcher(wine, vendor, *args, env=installer.env)
        after = everything_in(folder)
    assert result.exit_code == 0, result
    assert installer.started
    assert after == before


def test_a_work_folder_swapped_for_a_link_keeps_the_links_target(wine, vendor, offered, installer, tmp_path):
    outside = tmp_path / 'outside'
    outside.mkdir()
    (outside / 'keep.txt').write_text('keep')
    run, work, released = held_install(wine, vendor, installer, tmp_path)
    work.rename(tmp_path / 'moved-away')
    work.symlink_to(outside, target_is_directory=True)   # another process of the user's swapped it
    released.touch()
    assert run.result().exit_code == 0
    assert (outside / 'keep.txt').read_text() == 'keep'
    assert sorted(p.name for p in outside.iterdir()) == ['keep.txt']
    work.unlink(missing_ok=True)


"""Fixtures shared by every end-to-end test: the build's programs, the test
run's own Wine prefix with one persistent wineserver, and an Xvfb display."""
import os
import pathlib
import shutil

import pytest

from wine import Wine, Xvfb, winpath  # noqa: F401  (winpath is re-exported for tests)

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get('LOOMCRAFT_BUILD_DIR', REPO / 'build')).resolve()
BIN = BUILD / 'bin'
RUN_FOLDER = BUILD / 'e2e'


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


@pytest.fixture
def browser(wine):
    """The URLs opened in the (stand-in) browser during one test."""
    wine.clear_opened_urls()
    yield wine
    wine.clear_opened_urls()


@pytest.fixture
def launcher(bin_folder, tmp_path):
    """A private copy of the launcher, so a test may sign, stamp or surround it freely."""
    copy = tmp_path / 'launcher' / 'loomcraft.exe'
    copy.parent.mkdir()
    shutil.copyfile(bin_folder / 'loomcraft.exe', copy)
    return copy

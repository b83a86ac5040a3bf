"""Building launchers the way a vendor would (signed, then stamped with a
key) and running them silently under Wine."""
import pathlib
import re
import time

from conftest import stamp

KEY = '4f1c0d9e8b7a65432100fedcba9876543210abcd'
E_FAIL = 0x80004005


def vendor_launcher(pki, source, folder, key=KEY, signer='good'):
    """A signed launcher in `folder`, stamped with `key` (None: not stamped)."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    launcher = pki.sign(source, folder / 'loomcraft.exe', signer)
    if key is not None:
        stamp(launcher, key)
    return launcher


def run_launcher(wine, launcher, *args, report=True, env=None, cwd=None, timeout=120):
    """Runs the launcher with "/silent ." (unless report is False) and returns the RunResult;
    its stdout is the run report."""
    arguments = ['/silent', '.'] if report else []
    return wine.run(launcher, *arguments, *args, env=env, cwd=cwd, timeout=timeout)


def windows_to_host(wine, path):
    """Host path of a C:\\ or Z:\\ path of the test prefix."""
    drive, rest = path[0].upper(), path[2:].replace('\\', '/')
    if drive == 'Z':
        return pathlib.Path(rest)
    return wine.prefix / 'drive_c' / rest.lstrip('/')


def temp_folder(wine):
    return wine.prefix / 'drive_c' / 'users' / 'root' / 'Temp'


def work_folders(wine):
    """Work folders (UUID-named) left in the temporary folder."""
    pattern = re.compile(r'^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$')
    folder = temp_folder(wine)
    return sorted(p.name for p in folder.iterdir() if p.is_dir() and pattern.match(p.name)) if folder.exists() else []


def until(condition, timeout=30):
    """Polls `condition` until it holds (then returns True) or the time is up."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


# A page opened just before a run ended reaches the browser stand-in within
# 0.1 s of the end (measured while another build ran): a wait ten times as
# long would see it.
NO_PAGE_WAIT = 1.0


def no_page_opened(browser):
    """True when no page reaches the browser stand-in within NO_PAGE_WAIT seconds."""
    return not until(browser.opened_urls, timeout=NO_PAGE_WAIT)

"""The test run's own Wine, as the other tests rely on it: full 32-bit exit
codes, and URLs opened in the browser recorded instead of visited."""
import time

import pytest


@pytest.mark.parametrize('code', [0, 1, 0x80070005, 0xC0000005, 0xFFFFFFFF])
def test_runwait_reports_the_full_exit_code(wine, bin_folder, code):
    result = wine.run(bin_folder / 'testinstaller.exe', env={'TESTINSTALLER_EXIT': hex(code)})
    assert result.exit_code == code


def test_opened_urls_are_recorded_exactly(wine, browser):
    url = 'https://example.test/error/?source=loomcraft&message=a%20b&key='
    # start.exe hands the URL to ShellExecuteEx, as the launcher's error page does.
    code, _, _ = wine.command('wine', 'start', url)
    assert code == 0
    for _ in range(100):
        if browser.opened_urls():
            break
        time.sleep(0.05)
    assert browser.opened_urls() == [url]

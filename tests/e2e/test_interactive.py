"""Interactive mode on the Xvfb display, driven as a user would: the progress
window, Cancel, the proxy dialog, the failure box with its error page, the
interactive GOTO, a real crash reaching the crash page, and the windows at
150 % and 200 % display scale."""
import datetime
import os
import re
import subprocess
import time
import urllib.parse

import pytest

from conftest import BUILD
from launchers import E_FAIL, KEY, no_page_opened, run_launcher, until, vendor_launcher
from test_workflow import INSTALLER_PATH, _flip_middle_byte, installer, installer_bytes, vendor  # noqa: F401
from wine import DEFAULT_DPI, WIN64, Wine, winpath

PROGRESS = 'Preparing setup...'
PROXY = 'Proxy authentication required'
ERROR = 'Error'
PBS_MARQUEE = 0x08
IDOK, IDCANCEL = 1, 2
USER_FIELD, PASSWORD_FIELD = 1002, 1003
E_ABORT = 0x80004004
SERVICE = f'https://localhost:{os.environ.get("LOOMCRAFT_SERVICE_PORT", "47443")}'
# Each failure as it must be reported: HRESULT, message, error text (Wine's
# wording; none for 0x80096010), site code, and the silent run's report line.
FAILURES = {
    'unstamped': (E_FAIL, 'Could not find key', 'Call failed.', 623, 'Failed - Could not find key - 623'),
    'network': (0x80072EFD, '', 'The attempt to connect to the server failed.', 215,
                'Failed - The attempt to connect to the server failed. - 215'),
    'tampered': (0x80096010, 'Could not verify signature', '', 190, 'Failed - Could not verify signature - 190'),
}


class Window(dict):
    """What windriver described: rect, work, owner (or None), bar (style, low, high, pos) or None."""

    @classmethod
    def parse(cls, line):
        fields = dict(item.split('=', 1) for item in line.split())
        return cls({name: None if value == '-' else tuple(int(v, 0) for v in value.split(','))
                    for name, value in fields.items()})

    def centred_in(self, area):
        (l, t, r, b), (al, at, ar, ab) = self['rect'], area
        return abs((l - al) - (ar - r)) <= 1 and abs((t - at) - (ab - b)) <= 1


class Interactive:
    """A launcher started without "/silent" on the test display, and its windows."""

    def __init__(self, wine, launcher, args, env, timeout=90):
        self.wine = wine
        self.run = wine.spawn(launcher, *args, env=env, timeout=timeout)

    def drive(self, verb, title, *args):
        code, out, err = self.wine.command('wine', str(self.wine.bin / 'windriver.exe'), verb, title,
                                           *map(str, args))
        assert code == 0, (verb, title, err)
        return out.decode().strip()

    def window(self, title, state='shown', timeout=30):
        return Window.parse(self.drive('wait', title, state, int(timeout * 1000)))

    def next_window(self, title, previous=None, timeout=30):
        """A shown window with that title other than `previous` (a Window)."""
        deadline = time.monotonic() + timeout
        while True:
            window = self.window(title, timeout=max(deadline - time.monotonic(), 0.1))
            if previous is None or window['hwnd'] != previous['hwnd']:
                return window
            assert time.monotonic() < deadline, f'no other {title!r} window came'
            time.sleep(0.05)

    def field(self, title, control):
        return bytes.fromhex(self.drive('text', title, control)).decode()

    def wait_for_bar(self, wanted, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            window = Window.parse(self.drive('describe', PROGRESS))
            if wanted(window['bar']):
                return window
            time.sleep(0.05)
        raise AssertionError(f'the bar never reached the wanted state: {window}')

    def message_box(self, screenshot=None):
        """The failure box's text; then it is closed with OK."""
        window = self.window(ERROR)
        if screenshot:
            self.screenshot(screenshot, window)
        text = bytes.fromhex(self.drive('text', ERROR)).decode()
        self.drive('command', ERROR, IDOK)
        return text

    def screenshot(self, name, window):
        """A picture of the window, in the run folder's screenshots/ (the guides show copies from docs/)."""
        left, top, right, bottom = window['rect']
        target = self.wine.run_folder / 'screenshots' / f'{name}.png'
        target.parent.mkdir(exist_ok=True)
        subprocess.run(['/usr/bin/import', '-display', self.wine.env['DISPLAY'], '-window', 'root', '-crop',
                        f'{right - left}x{bottom - top}+{left}+{top}', str(target)], check=True)

    def finish(self, timeout=60):
        return self.run.result(timeout=timeout)

    def close(self):
        if self.run.running():
            self.wine.command('wine', 'taskkill', '/F', '/IM', 'loomcraft.exe')
            self.run.result(timeout=30)


@pytest.fixture
def interactive(wine, browser):
    """Starts launchers interactively (in the test prefix, or `under` another
    Wine); whatever still runs after the test is ended."""
    started = []

    def start(launcher, *args, env=None, under=None):
        started.append(Interactive(under or wine, launcher, args, env))
        return started[-1]
    yield start
    for run in started:
        run.close()


def xprop_icon_sizes(display, title=PROGRESS):
    """Sizes of the icons Wine gave the dialog's X window (_NET_WM_ICON), in order."""
    env = dict(os.environ, DISPLAY=display)
    ids = subprocess.run(['xdotool', 'search', '--name', title], env=env, capture_output=True, text=True).stdout
    for window in ids.split():
        text = subprocess.run(['xprop', '-id', window, '_NET_WM_ICON'], env=env, capture_output=True,
                              text=True).stdout
        sizes = [(int(w), int(h)) for w, h in re.findall(r'Icon \((\d+) x (\d+)\)', text)]
        if sizes:
            return sizes
    return None


def offer(service, installer_bytes, **fault):
    service.add_installer(INSTALLER_PATH, installer_bytes)
    service.set_reply(KEY, 'GET:' + service.url(INSTALLER_PATH))
    if fault:
        service.set_default_fault(INSTALLER_PATH, **fault)


def box_text(hr, text, message, code):
    return f'An error occured. \r\n\r\n{text} [0x{hr:08x}]; {message}; {code}'


def error_page(code, message, hr, key):
    quote = lambda text: urllib.parse.quote(text.encode(), safe='').replace('-', '%2D').replace('.', '%2E') \
        .replace('_', '%5F').replace('~', '%7E')
    today = datetime.date.today().isoformat()
    return (f'{SERVICE}/error/?source=loomcraft&code={code}&message={quote(message)}&error=0x{hr:08x}'
            f'&version=0%2C1%2C0%2C377&os=6%2E1%2ESP1&key={quote(key)}&date={quote(today)}')


def test_install_shows_progress_hides_while_the_installer_runs(service, installer_bytes, vendor, installer,
                                                                interactive, browser, tmp_path):
    # Headers held back for a moment, then a throttled body: marquee first, then thousandths.
    offer(service, installer_bytes, delay=1.5, rate=len(installer_bytes) / 8)
    looked = tmp_path / 'looked'
    run = interactive(vendor, 'pass through', env=dict(installer.env, TESTINSTALLER_WAIT_FOR=winpath(looked)))

    window = run.window(PROGRESS)
    assert window.centred_in(window['work']) and window['owner'] is None
    assert xprop_icon_sizes(run.wine.env['DISPLAY']) == [(32, 32), (16, 16)]   # large and small icon
    assert window['bar'][0] & PBS_MARQUEE
    run.screenshot('progress-marquee', window)
    window = run.wait_for_bar(lambda bar: not bar[0] & PBS_MARQUEE and bar[3] > 0)
    assert window['bar'][1:3] == (0, 1000) and 0 < window['bar'][3] < 1000
    run.screenshot('progress-download', window)

    run.window(PROGRESS, 'hidden')         # the installer runs: the window is hidden, the run waits
    assert until(lambda: installer.started)
    run.drive('command', PROGRESS, IDCANCEL)  # too late to cancel: ignored
    looked.touch()
    assert run.finish().exit_code == 0
    assert installer.argv == ['Quillo.exe', KEY, '/fullpath', winpath(vendor), 'pass through']
    assert no_page_opened(browser)


@pytest.mark.parametrize('how', ['escape', 'close-box', 'idcancel'])
def test_cancel_during_the_download_ends_the_process_at_once(service, installer_bytes, vendor, installer,
                                                              interactive, browser, how):
    offer(service, installer_bytes, rate=len(installer_bytes) / 60)
    run = interactive(vendor, env=installer.env)
    run.window(PROGRESS)
    run.wait_for_bar(lambda bar: bar[3] > 0)
    cancelled = time.monotonic()
    run.drive(*{'escape': ('escape', PROGRESS), 'close-box': ('close', PROGRESS),
                'idcancel': ('command', PROGRESS, IDCANCEL)}[how])
    assert run.finish().exit_code == 1
    assert time.monotonic() - cancelled < 10
    assert not installer.started and no_page_opened(browser)


@pytest.mark.parametrize('failure', ['unstamped', 'network', 'tampered'])
def test_failure_box_and_error_page(failure, wine, trusted_pki, launcher, service, installer_bytes, installer,
                                    interactive, browser, tmp_path):
    key = None if failure == 'unstamped' else KEY
    vendor = vendor_launcher(trusted_pki, launcher, tmp_path / 'vendor', key=key)
    offer(service, _flip_middle_byte(installer_bytes) if failure == 'tampered' else installer_bytes)
    if failure == 'network':
        service.set_reply(KEY, 'GET:https://localhost:1/setup.bin')  # nothing listens there
    hr, message, text, code, report = FAILURES[failure]
    silent = run_launcher(wine, vendor, env=installer.env)            # the same failure, silently:
    assert (silent.exit_code, silent.stdout) == (hr, report.encode() + b'\r\n')
    assert no_page_opened(browser)                                   # no box, no page

    run = interactive(vendor, env=installer.env)
    assert run.message_box(screenshot=f'failure-{failure}') == box_text(hr, text, message, code)
    assert run.finish().exit_code == hr
    assert until(browser.opened_urls)
    assert browser.opened_urls() == [error_page(code, message, hr, key or '')]
    assert not installer.started


@pytest.mark.parametrize('answer', ['good', 'empty', 'cancel', 'close-box', 'command-line', 'silent'])
def test_proxy_dialog(answer, squid, service, installer_bytes, vendor, installer, interactive):
    offer(service, installer_bytes)
    env = dict(installer.env, http_proxy=squid.url)
    args = {'command-line': ('/proxyauth', 'user', 'secret'), 'silent': ('/silent',)}.get(answer, ())
    logged = len(squid.access_log_lines())   # the proxy serves the whole session
    run = interactive(vendor, *args, env=env)
    if answer in ('good', 'empty', 'cancel', 'close-box'):
        proxy = run.window(PROXY)
        assert proxy.centred_in(proxy['owner'])   # over the progress window
        run.screenshot('proxy-dialog', proxy)
        if answer == 'cancel':
            run.drive('click', PROXY, IDCANCEL)
        elif answer == 'close-box':
            run.drive('close', PROXY)
        else:
            run.drive('fill', PROXY, *(('user', 'secret') if answer == 'good' else ('', '')))
            run.drive('click', PROXY, IDOK)
    if answer in ('good', 'command-line'):
        assert run.finish().exit_code == 0
        assert installer.argv[-3:] == ['/proxyauth', 'user', 'secret']
        return
    if answer == 'empty':   # empty credentials are applied and refused once; the dialog comes back, empty
        again = run.next_window(PROXY, proxy)
        assert (run.field(PROXY, USER_FIELD), run.field(PROXY, PASSWORD_FIELD)) == ('', '')
        run.drive('click', PROXY, IDCANCEL)
        # One attempt, no further one: Wine's WinINet makes three refused CONNECTs of it.
        refused = lambda: [e for e in squid.access_log_lines()[logged:] if e.get('method') == 'CONNECT']
        assert again and until(lambda: len(refused()) >= 3, timeout=5)   # squid logs a tunnel once it is closed
    if answer != 'silent':
        assert run.message_box() == box_text(E_ABORT, '', 'Proxy authentication', 234)
    assert run.finish().exit_code == E_ABORT
    assert service.log == [] and not installer.started
    if answer == 'empty':
        assert [(e['status'], e['url']) for e in refused()] == [(407, SERVICE.removeprefix('https://'))] * 3


# The passwords typed into the proxy dialogs, in order (None: Cancel), and
# whether the run starts with the wrong password on its command line.
REFUSAL_PLANS = {
    'wrong-then-right': (False, ['wrong', 'secret']),
    'command-line-wrong': (True, ['secret']),
    'three-wrong': (False, ['wrong'] * 3),
    'cancel-second': (False, ['wrong', None]),
}


@pytest.mark.parametrize('plan', REFUSAL_PLANS)
@pytest.mark.parametrize('scheme', ['basic', 'ntlm'])
def test_proxy_dialog_after_a_refusal(scheme, plan, proxies, service, installer_bytes, vendor, installer,
                                      interactive):
    proxy = proxies(scheme)
    user = 'user' if scheme == 'basic' else 'DOMAIN\\user'
    on_command_line, passwords = REFUSAL_PLANS[plan]
    offer(service, installer_bytes)
    refusals = len(proxy.refused_presentations())
    run = interactive(vendor, *(('/proxyauth', user, 'wrong') if on_command_line else ()),
                      env=dict(installer.env, http_proxy=proxy.url))
    dialog = None
    for number, password in enumerate(passwords):
        dialog = run.next_window(PROXY, dialog)
        after_refusal = number > 0 or on_command_line   # the refused user name stands, the password is empty
        assert (run.field(PROXY, USER_FIELD), run.field(PROXY, PASSWORD_FIELD)) == (user if after_refusal else '', '')
        if password is None:
            run.drive('click', PROXY, IDCANCEL)
            break
        run.drive('fill', PROXY, user, password)
        run.drive('click', PROXY, IDOK)
    if plan == 'three-wrong':   # the third refusal ends the run: no fourth dialog, no attempt more
        assert run.message_box() == box_text(E_FAIL, 'Call failed.', 'Proxy authentication failed', 227)
        assert run.finish().exit_code == E_FAIL
    elif plan == 'cancel-second':
        assert run.message_box() == box_text(E_ABORT, '', 'Proxy authentication', 234)
        assert run.finish().exit_code == E_ABORT
    else:
        assert run.finish().exit_code == 0
        assert installer.argv[-3:] == ['/proxyauth', user, 'secret']   # what the proxy accepted
    assert installer.started == (plan in ('wrong-then-right', 'command-line-wrong'))
    time.sleep(1.0)   # a presentation made before the end would be in the logs by now
    assert proxy.refused_presentations()[refusals:] == ['user'] * (3 if plan == 'three-wrong' else 1)


def test_goto_opens_the_page_and_succeeds(service, vendor, interactive, browser):
    service.set_reply(KEY, 'GOTO:https://example.test/choose?lang=en')
    run = interactive(vendor)
    assert run.finish().exit_code == 0
    assert until(browser.opened_urls)
    assert browser.opened_urls() == [f'https://example.test/choose?lang=en?key={KEY}']


def uncaught_throw_site():
    """Where the launcher's std::__throw_length_error lies (an offset from its
    base, from the build's linker map): a thread started there throws a C++
    exception that nothing catches."""
    text = (BUILD / 'loomcraft.map').read_text()
    base = int(re.search(r'0x([0-9a-f]+) +__image_base__ = ', text)[1], 16)
    return int(re.search(r'0x([0-9a-f]+) +std::__throw_length_error\(char const\*\)\n', text)[1], 16) - base


@pytest.mark.parametrize('fault', ['null-call', pytest.param('uncaught-exception', marks=pytest.mark.guest)])
def test_crash_opens_the_crash_page(service, installer_bytes, vendor, interactive, browser, fault):
    offer(service, installer_bytes, delay=30)
    run = interactive(vendor)
    run.window(PROGRESS)
    digits = 16 if WIN64 else 8
    if fault == 'null-call':
        run.drive('crash', PROGRESS)   # a thread starting at address 0: a call through a null pointer
        line = f'0x{"0" * digits}:0x{"0" * digits}:c0000005:loomcraft.exe'
    else:   # the replaced terminate handler raises it as a system exception (in RaiseException)
        run.drive('crash', PROGRESS, f'{uncaught_throw_site():x}')
        # (The 64-bit runtime unwinds through the system's own exception handling: the crash
        # handler sees its throw, 0x20474343, before any terminate handler could run.)
        code = '20474343' if WIN64 else 'e06d7363'
        line = f'0x[0-9A-F]{{{digits}}}:0x[0-9A-F]{{{digits}}}:{code}:kernelbase.dll'
    assert until(browser.opened_urls)
    run.finish()
    assert not until(lambda: len(browser.opened_urls()) > 1, timeout=3), 'one crash, one page'
    page, = browser.opened_urls()
    assert re.fullmatch(re.escape(f'{SERVICE}/error/?source=Loomcraft&code=0&message=') +
                        line.replace(':', '%3A').replace('.', '%2E') +
                        re.escape('&error=0x0000023e&version=0&os=0&key=0'), page), page


# Display scales: DPI (Wine's LogPixels) and percent, as the pictures in docs/ are named.
SCALES = {96: 100, 144: 150, 192: 200}
# Where each scale's windows are then told they moved: a monitor of this DPI.
MOVED_TO = {96: 192, 144: 96, 192: 144}


@pytest.fixture(scope='session')
def wine_at(wine, run_folder, bin_folder, display):
    """wine_at(dpi): the session's Wine at that DPI. LogPixels must be set
    before a prefix's first program: each DPI gets a prefix of its own, made
    once, when first asked for (96 is the test prefix)."""
    made = {DEFAULT_DPI: wine}

    def at(dpi):
        if dpi not in made:
            made[dpi] = Wine(run_folder, bin_folder, display, dpi).start()
        return made[dpi]
    yield at
    for instance in made.values():
        if instance is not wine:
            instance.stop()


@pytest.fixture(scope='module')
def sizes_at_96():
    """The outer sizes of both windows at 96 DPI, by title: filled by the 96 case, which runs first."""
    return {}


def outer_size(window):
    left, top, right, bottom = window['rect']
    return right - left, bottom - top


def icon_sizes(dpi):
    """The large and small icon, as the system metrics of that DPI size them."""
    return [(32 * dpi // 96,) * 2, (16 * dpi // 96,) * 2]


def inside_work_area(window):
    (left, top, right, bottom), (work_left, work_top, work_right, work_bottom) = window['rect'], window['work']
    return work_left <= left and work_top <= top and right <= work_right and bottom <= work_bottom


def assert_laid_out(run, title, dpi):
    """Each control lies inside the window's client area, and each static,
    button and edit is at least as wide and tall as its text in the
    templates' font at `dpi` (windriver measures it). Returns the client
    area's size."""
    lines = run.drive('measure', title, dpi).splitlines()
    width, height = map(int, lines[0].removeprefix('client=').split(','))
    for line in lines[1:]:
        _, kind, control, rect, extent = line.split()
        (left, top, right, bottom), (text_width, text_height) = map(int, rect.split(',')), map(int, extent.split(','))
        assert 0 <= left and 0 <= top and right <= width and bottom <= height, (title, dpi, line, 'cut off')
        if kind.lower() in ('static', 'button', 'edit'):
            assert right - left >= text_width and bottom - top >= text_height, (title, dpi, line, 'clipped')
    return width, height


def show_both_windows(interactive, under, vendor, squid):
    """A run held at the proxy dialog: the run, and the progress window and the dialog over it by title."""
    run = interactive(vendor, env={'http_proxy': squid.url}, under=under)
    return run, {title: run.window(title) for title in (PROGRESS, PROXY)}


@pytest.mark.parametrize('dpi', SCALES)
def test_windows_follow_the_display_scale(dpi, wine_at, sizes_at_96, squid, vendor, interactive):
    if dpi != DEFAULT_DPI and not sizes_at_96:   # run without the 96 case: measured here first
        reference, windows = show_both_windows(interactive, wine_at(DEFAULT_DPI), vendor, squid)
        sizes_at_96.update({title: outer_size(window) for title, window in windows.items()})
        reference.close()
    wine = wine_at(dpi)
    run, windows = show_both_windows(interactive, wine, vendor, squid)
    clients = {}
    for title, window in windows.items():
        sizes_at_96.setdefault(title, outer_size(window))
        assert inside_work_area(window), (title, window)
        for size, size_at_96 in zip(outer_size(window), sizes_at_96[title]):
            assert abs(size / (size_at_96 * dpi / DEFAULT_DPI) - 1) <= 0.1, (title, window, sizes_at_96)
        clients[title] = assert_laid_out(run, title, dpi)
        assert xprop_icon_sizes(wine.env['DISPLAY'], title) == icon_sizes(dpi)
    # The pictures in docs/: each window alone (the dialog, hidden a moment, lies over the progress window).
    run.drive('show', PROXY, 0)
    run.window(PROXY, 'hidden')
    run.screenshot(f'progress-{SCALES[dpi]}', windows[PROGRESS])
    run.drive('show', PROXY, 1)
    run.screenshot(f'proxy-dialog-{SCALES[dpi]}', run.window(PROXY))

    # Moved to a monitor of another scale: laid out again for it (the client
    # area scales; the frame, which the system leaves, keeps its size), centred
    # where the system suggests.
    moved = MOVED_TO[dpi]
    for title, window in windows.items():
        left, top, right, bottom = window['rect']
        suggested = (left, top, left + (right - left) * moved // dpi, top + (bottom - top) * moved // dpi)
        run.drive('dpi', title, moved, *suggested)
        now = run.window(title)['rect']
        assert all(abs(now[i] + now[i + 2] - suggested[i] - suggested[i + 2]) <= 1 for i in (0, 1)), (now, suggested)
        for size, before in zip(assert_laid_out(run, title, moved), clients[title]):
            assert abs(size / (before * moved / dpi) - 1) <= 0.1, (title, now, clients[title])
        assert xprop_icon_sizes(wine.env['DISPLAY'], title) == icon_sizes(moved)

    run.drive('click', PROXY, IDCANCEL)
    assert inside_work_area(run.window(ERROR))
    assert run.message_box() == box_text(E_ABORT, '', 'Proxy authentication', 234)
    assert run.finish().exit_code == E_ABORT

"""What the built launcher file carries: its resources, read back under Wine
the way the running program reads them, and what it must not carry; the
product's size and header, and that a commit always builds to the same bytes."""
import os
import pathlib
import struct
import subprocess
import xml.etree.ElementTree as ElementTree

import pytest

import pe
from conftest import BUILD, REPO
from wine import WIN64, winpath

# The 32-bit product, also where the tests run its 64-bit twin (scripts/test).
PRODUCT = pathlib.Path(os.environ.get('LOOMCRAFT_PRODUCT_DIR', BUILD)) / 'bin' / 'loomcraft.exe'
SIZE_BOUND = 240 * 1024
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x20

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_MANIFEST = 3, 5, 14, 24
EN_US = 0x0409

WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_SYSMENU, WS_BORDER = 0x00C00000, 0x00080000, 0x00800000
WS_GROUP, WS_TABSTOP = 0x00020000, 0x00010000
DS_MODALFRAME, DS_SETFONT, DS_FIXEDSYS = 0x80, 0x40, 0x08
ES_AUTOHSCROLL, ES_PASSWORD = 0x80, 0x20
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, SS_LEFT = 0, 1, 0
CLASS_ORDINALS = {0x80: 'button', 0x81: 'edit', 0x82: 'static'}
DIALOG_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS
CHILD = WS_CHILD | WS_VISIBLE


# Each built launcher and the architecture its manifest names: the product,
# and the 64-bit test build where the tests run that.
BUILT = {PRODUCT.resolve(): 'x86', (BUILD / 'bin' / 'loomcraft.exe').resolve(): 'amd64' if WIN64 else 'x86'}


@pytest.fixture(scope='module')
def dumped(wine, bin_folder):
    return dump(wine, bin_folder / 'loomcraft.exe')


def dump(wine, launcher):
    """What resdump reads back of the launcher's resources."""
    result = wine.run(wine.bin / 'resdump.exe', winpath(launcher))
    assert result.exit_code == 0, result
    parsed = {'resources': {}, 'values': {}}
    for line in result.stdout.decode().splitlines():
        kind, _, rest = line.partition(' ')
        if kind == 'string':
            number, text = rest.split(' ')
            parsed['string', int(number)] = '' if text == '-' else bytes.fromhex(text).decode()
        elif kind == 'fixed':
            parsed['fixed'] = tuple(int(part, 16) for part in rest.split())
        elif kind == 'value':
            name, text = rest.split(' ')
            parsed['values'][name] = bytes.fromhex(text).decode()
        elif kind == 'resource':
            type_, name, language, data = rest.split(' ')
            parsed['resources'][int(type_), int(name)] = (int(language, 16), bytes.fromhex(data))
    return parsed


class Reader:
    def __init__(self, data):
        self.data, self.offset = data, 0

    def take(self, fmt):
        values = struct.unpack_from('<' + fmt, self.data, self.offset)
        self.offset += struct.calcsize('<' + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.offset
        while self.data[end:end + 2] != b'\0\0':
            end += 2
        value = self.data[self.offset:end].decode('utf-16-le')
        self.offset = end + 2
        return value

    def name_or_ordinal(self):
        first = struct.unpack_from('<H', self.data, self.offset)[0]
        if first == 0:
            self.offset += 2
            return None
        if first == 0xFFFF:
            self.offset += 2
            return self.take('H')
        return self.text()

    def align(self, n):
        self.offset += -self.offset % n


def parse_dialog(data):
    r = Reader(data)
    version, signature, _help, ex_style, style, count, x, y, cx, cy = r.take('HHIIIHhhhh')
    assert (version, signature) == (1, 0xFFFF), 'an extended dialog template'
    dialog = {'ex_style': ex_style, 'style': style, 'rect': (x, y, cx, cy), 'menu': r.name_or_ordinal(),
              'class': r.name_or_ordinal(), 'caption': r.text()}
    points, weight, italic, charset = r.take('HHBB')
    dialog['font'] = (points, weight, italic, charset, r.text())
    dialog['controls'] = []
    for _ in range(count):
        r.align(4)
        _help, ex_style, style, x, y, cx, cy, control_id = r.take('IIIhhhhi')
        class_ = r.name_or_ordinal()
        class_ = CLASS_ORDINALS.get(class_, class_) if isinstance(class_, int) else class_.lower()
        title = r.name_or_ordinal()
        extra = r.take('H')
        r.offset += extra
        dialog['controls'].append({'id': control_id, 'class': class_, 'text': title or '', 'style': style,
                                   'ex_style': ex_style, 'rect': (x, y, cx, cy)})
    return dialog


def test_version_string_is_loaded_at_run_time(dumped):
    assert dumped['string', 16589] == '0,1,0,377'


def test_version_record_matches_the_version_string(dumped):
    assert dumped['fixed'] == (0x00000001, 0x00000179, 0x00000001, 0x00000179)
    assert dumped['values']['FileVersion'] == '0.1.0.377'
    assert dumped['values']['ProductVersion'] == '0.1.0.377'


def test_progress_dialog_129(dumped):
    language, data = dumped['resources'][RT_DIALOG, 129]
    assert language == EN_US
    dialog = parse_dialog(data)
    assert dialog['caption'] == 'Preparing setup...'
    assert dialog['rect'] == (0, 0, 254, 31)
    assert dialog['style'] == DIALOG_STYLE
    assert dialog['ex_style'] == 0
    assert dialog['font'] == (8, 400, 0, 1, 'MS Shell Dlg')
    assert dialog['controls'] == [{'id': 1001, 'class': 'msctls_progress32', 'text': '',
                                   'style': CHILD | WS_BORDER, 'ex_style': 0, 'rect': (7, 13, 240, 11)}]


def test_proxy_dialog_131(dumped):
    language, data = dumped['resources'][RT_DIALOG, 131]
    assert language == EN_US
    dialog = parse_dialog(data)
    assert dialog['caption'] == 'Proxy authentication required'
    assert dialog['rect'] == (0, 0, 238, 67)
    assert dialog['style'] == DIALOG_STYLE
    assert dialog['font'] == (8, 400, 0, 1, 'MS Shell Dlg')
    controls = [(c['id'], c['class'], c['text'], c['style'], c['rect']) for c in dialog['controls']]
    assert controls == [
        (1002, 'edit', '', CHILD | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, (49, 7, 182, 12)),
        (1003, 'edit', '', CHILD | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, (49, 25, 182, 12)),
        (1, 'button', 'OK', CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, (127, 46, 50, 14)),
        (2, 'button', 'Cancel', CHILD | WS_TABSTOP | BS_PUSHBUTTON, (181, 46, 50, 14)),
        (-1, 'static', 'User name: ', CHILD | WS_GROUP | SS_LEFT, (7, 9, 40, 8)),
        (-1, 'static', 'Password:', CHILD | WS_GROUP | SS_LEFT, (7, 27, 34, 8)),
    ]


def test_icon_group_1_holds_every_size_from_100_to_200_percent_and_a_png_of_256(dumped):
    _, group = dumped['resources'][RT_GROUP_ICON, 1]
    reserved, kind, count = struct.unpack_from('<HHH', group)
    assert (reserved, kind) == (0, 1)
    sizes = []
    for i in range(count):
        width, height, colours, _, planes, bits, size, icon_id = struct.unpack_from('<BBBBHHIH', group, 6 + 14 * i)
        _, image = dumped['resources'][RT_ICON, icon_id]
        assert len(image) == size
        if width == 0:   # 256 pixels: a PNG, which Windows reads from Vista on
            assert image[:8] == b'\x89PNG\r\n\x1a\n' and struct.unpack_from('>II', image, 16) == (256, 256)
            sizes.append((256, 256))
            continue
        header_size, image_width, image_height, _, image_bits = struct.unpack_from('<IiiHH', image)
        # 256 colours at the sizes of 100 % (16, 32, 48); 16 colours serve the others
        expected_bits = 8 if width in (16, 32, 48) else 4
        assert (bits, image_bits, header_size, colours) == (expected_bits, expected_bits, 40, 16 if bits == 4 else 0)
        assert (image_width, image_height) == (width, 2 * height)
        sizes.append((width, height))
    assert sizes == [(n, n) for n in (256, 64, 48, 40, 32, 24, 20, 16)]


@pytest.mark.parametrize('launcher', BUILT)
def test_manifest(wine, launcher):
    """Common controls 6 and the program itself for the build's own architecture, as invoker, per-monitor
    DPI aware, on every Windows from Vista to 11 (without the later entries GetVersionExW says 6.2)."""
    _, data = dump(wine, launcher)['resources'][RT_MANIFEST, 1]
    root = ElementTree.fromstring(data)
    ns = {'v1': 'urn:schemas-microsoft-com:asm.v1', 'v3': 'urn:schemas-microsoft-com:asm.v3',
          'compat': 'urn:schemas-microsoft-com:compatibility.v1',
          'ws2005': 'http://schemas.microsoft.com/SMI/2005/WindowsSettings',
          'ws2016': 'http://schemas.microsoft.com/SMI/2016/WindowsSettings'}
    assert root.find('v1:assemblyIdentity', ns).get('processorArchitecture') == BUILT[launcher]
    dependency = root.find('v1:dependency/v1:dependentAssembly/v1:assemblyIdentity', ns)
    assert dependency.get('name') == 'Microsoft.Windows.Common-Controls'
    assert dependency.get('version') == '6.0.0.0'
    assert dependency.get('publicKeyToken') == '6595b64144ccf1df'
    assert dependency.get('processorArchitecture') == BUILT[launcher]
    level = root.find('v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel', ns)
    assert level.get('level') == 'asInvoker'
    settings = root.find('v3:application/v3:windowsSettings', ns)
    assert settings.find('ws2005:dpiAware', ns).text == 'true/pm'
    assert settings.find('ws2016:dpiAwareness', ns).text == 'PerMonitorV2, PerMonitor'
    systems = [e.get('Id') for e in root.findall('compat:compatibility/compat:application/compat:supportedOS', ns)]
    assert systems == ['{e2011457-1546-43c5-a5fe-008deee3d3f0}', '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',   # Vista, 7
                       '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}', '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',   # 8, 8.1
                       '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}']                                             # 10, 11


@pytest.mark.parametrize('switch', ['/cache_keep', '/passcode'])
def test_joined_switches_do_not_stand_whole_in_the_file(bin_folder, switch):
    content = (bin_folder / 'loomcraft.exe').read_bytes()
    assert switch.encode('ascii') not in content
    assert switch.encode('utf-16-le') not in content


# What the launcher calls for display scaling that Windows XP lacks.
NEWER_THAN_XP = ('GetDpiForWindow', 'GetSystemMetricsForDpi', 'GetWindowDpiAwarenessContext',
                 'AreDpiAwarenessContextsEqual', 'SetDialogDpiChangeBehavior', 'LoadIconWithScaleDown')


def test_display_scaling_functions_are_looked_up_at_run_time():
    """An import that XP lacks would keep the launcher from loading there at all."""
    data = PRODUCT.read_bytes()
    imported = {name for names in pe.imports(data).values() for name in names}
    assert imported.isdisjoint(NEWER_THAN_XP)
    assert all(name.encode() + b'\0' in data for name in NEWER_THAN_XP)   # names for GetProcAddress


def test_product_is_small_large_address_aware_and_undated():
    data = PRODUCT.read_bytes()
    assert len(data) <= SIZE_BOUND
    characteristics = struct.unpack_from('<H', data, pe.nt_offset(data) + 22)[0]
    assert characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE
    assert struct.unpack_from('<I', data, pe.time_date_stamp_offset(data))[0] == 0


def test_two_clean_builds_in_different_folders_are_byte_identical(tmp_path, pki):
    built = []
    for name in ('first', 'second-build'):
        folder = tmp_path / name
        subprocess.run(['cmake', '-S', REPO, '-B', folder, '-G', 'Unix Makefiles', '-DLOOMCRAFT_BUILD_TESTS=OFF'],
                       check=True, capture_output=True)
        subprocess.run(['cmake', '--build', folder, '--target', 'loomcraft', '-j', '2'], check=True,
                       capture_output=True)
        built.append((folder / 'bin' / 'loomcraft.exe').read_bytes())
    assert built[0] == built[1]
    # A vendor's signed, stamped launcher, with signature and key taken off, is the build again.
    signed = pki.sign(tmp_path / 'first' / 'bin' / 'loomcraft.exe', tmp_path / 'vendor.exe')
    subprocess.run([REPO / 'tools' / 'publisher' / 'stamp-key', signed, 'ab' * 20], check=True)
    subprocess.run([REPO / 'tools' / 'publisher' / 'stamp-key', '--unsigned', signed, '-o', tmp_path / 'as-built.exe'], check=True)
    assert (tmp_path / 'as-built.exe').read_bytes() == built[1]

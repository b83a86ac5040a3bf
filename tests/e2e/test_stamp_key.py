"""tools/publisher/stamp-key on files signed with the test PKI: the key block's exact
bytes, the certificate table and checksum fields, re-stamping, reading back,
and refusals that leave the input alone. Needs osslsigncode, not Wine."""
import importlib.machinery
import importlib.util
import os
import pathlib
import struct
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
STAMP_KEY = REPO / 'tools' / 'publisher' / 'stamp-key'
BEGIN, END = b'>>key_begin|', b'|key_end<<'
KEY = '0123456789abcdef0123456789ABCDEF01234567'
RUNWAIT = pathlib.Path(os.environ.get('LOOMCRAFT_BUILD_DIR', REPO / 'build')) / 'bin' / 'runwait.exe'


def minimal_pe(plus):
    """A PE32 or PE32+ image with one section holding `ret`: enough for osslsigncode to sign."""
    magic, machine, optional_size = (0x20B, 0x8664, 240) if plus else (0x10B, 0x14C, 224)
    dos = b'MZ' + bytes(58) + struct.pack('<I', 0x40)
    coff = struct.pack('<HHIIIHH', machine, 1, 0, 0, 0, optional_size, 0x22 if plus else 0x102)
    common = (0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0, 0x2000, 0x200, 0, 2)
    if plus:
        optional = struct.pack('<HBBIIIIIQIIHHHHHHIIIIHHQQQQII', magic, 14, 0, 0x200, 0, 0, 0x1000, 0x1000,
                               0x140000000, *common, 0x8160, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    else:
        optional = struct.pack('<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII', magic, 14, 0, 0x200, 0, 0, 0x1000, 0x1000,
                               0x2000, 0x400000, *common, 0x8140, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    section = struct.pack('<8sIIIIIIHHI', b'.text', 0x1000, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
    headers = dos + b'PE\0\0' + coff + optional + bytes(16 * 8) + section
    return headers + bytes(0x200 - len(headers)) + b'\xC3' + bytes(0x1FF)


class Layout:
    """Field offsets of a PE file, read independently of the tool."""

    def __init__(self, data):
        self.pe = struct.unpack_from('<I', data, 0x3C)[0]
        self.optional = self.pe + 24
        plus = struct.unpack_from('<H', data, self.optional)[0] == 0x20B
        self.rva_count = self.optional + (108 if plus else 92)
        self.checksum = self.optional + 64
        self.directory = self.rva_count + 4 + 4 * 8
        self.table, self.table_size = struct.unpack_from('<II', data, self.directory)
        self.entry_length = struct.unpack_from('<I', data, self.table)[0] if self.table else 0


def reference_checksum(data, checksum_at):
    """The PE checksum computed word by word with end-around carry, as the loader's tools do."""
    data = bytearray(data[:checksum_at]) + bytes(4) + data[checksum_at + 4:] + bytes(len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack('<H', data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data) - len(data) % 2) & 0xFFFFFFFF


def with_fields(data, *fields):
    """DATA with (offset, format, value) fields overwritten."""
    data = bytearray(data)
    for offset, fmt, value in fields:
        struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def stamp_key(*arguments):
    return subprocess.run([sys.executable, str(STAMP_KEY), *map(str, arguments)], capture_output=True)


def sample_key(length):
    """Printable ASCII of every kind, the markers' own characters included."""
    return ''.join(chr(33 + (index * 37) % 94) for index in range(length))


@pytest.fixture(scope='session')
def pki_folder(tmp_path_factory):
    folder = tmp_path_factory.getbasetemp() / 'test-pki'  # shared with the other modules' PKI fixture
    subprocess.run([sys.executable, str(REPO / 'tools' / 'dev' / 'make-test-pki'), str(folder)], check=True)
    return folder


@pytest.fixture(scope='session')
def signed(pki_folder, tmp_path_factory):
    """Signed images by kind: minimal PE32 and PE32+, and the build's runwait.exe when there is one."""
    folder = tmp_path_factory.mktemp('signed')
    inputs = {'pe32': minimal_pe(False), 'pe32+': minimal_pe(True)}
    if RUNWAIT.exists():
        inputs['runwait'] = RUNWAIT.read_bytes()
    images = {}
    for kind, data in inputs.items():
        (folder / kind).write_bytes(data)
        subprocess.run(['osslsigncode', 'sign', '-certs', pki_folder / 'sign-good.pem',
                        '-key', pki_folder / 'sign-good.key', '-h', 'sha256',
                        '-in', folder / kind, '-out', folder / f'{kind}.exe'],
                       check=True, capture_output=True)
        images[kind] = folder / f'{kind}.exe'
    return images


@pytest.fixture(params=['pe32', 'pe32+', 'runwait'])
def kind(request, signed):
    if request.param not in signed:
        pytest.skip(f'{RUNWAIT} is not built')
    return request.param


def test_signed_input_verifies_and_carries_the_reference_checksum(signed, kind, pki_folder):
    result = subprocess.run(['osslsigncode', 'verify', '-CAfile', pki_folder / 'root.pem', '-in', signed[kind]],
                            capture_output=True, text=True)
    assert result.returncode == 0 and 'Signature verification: ok' in result.stdout, result.stdout
    data = signed[kind].read_bytes()
    layout = Layout(data)
    # osslsigncode writes the checksum itself: agreeing with it proves the reference below.
    assert struct.unpack_from('<I', data, layout.checksum)[0] == reference_checksum(data, layout.checksum)
    assert layout.table + layout.table_size == len(data) and layout.table_size == (layout.entry_length + 7) & ~7


@pytest.mark.parametrize('image, length', [('pe32', n) for n in range(2, 10)]  # every padding 0..7
                         + [('pe32', 1), ('pe32', 40), ('pe32+', 40), ('runwait', 40), ('pe32', 1023)])
def test_block_layout(signed, tmp_path, image, length):
    if image not in signed:
        pytest.skip(f'{RUNWAIT} is not built')
    original = signed[image].read_bytes()
    key = sample_key(length)
    result = stamp_key(signed[image], key, '-o', tmp_path / 'out.exe')
    assert result.returncode == 0, result.stderr
    stamped = (tmp_path / 'out.exe').read_bytes()
    before, after = Layout(original), Layout(stamped)

    entry_end = before.table + (before.entry_length + 7) // 8 * 8
    block = BEGIN + key.encode() + END
    assert stamped[entry_end:entry_end + len(block)] == block
    padding = stamped[entry_end + len(block):]
    assert padding == bytes(len(padding)) and len(padding) < 8
    assert (after.table, after.entry_length) == (before.table, before.entry_length)
    assert after.table_size == len(stamped) - after.table and after.table_size % 8 == 0
    assert struct.unpack_from('<I', stamped, after.checksum)[0] == reference_checksum(stamped, after.checksum)
    # Nothing else before the block changed.
    unchanged_fields = ((before.directory + 4, '<I', 0), (before.checksum, '<I', 0))
    assert with_fields(stamped[:entry_end], *unchanged_fields) == with_fields(original[:entry_end], *unchanged_fields)
    assert signed[image].read_bytes() == original

    read = stamp_key('--read', tmp_path / 'out.exe')
    assert read.returncode == 0 and read.stdout == key.encode() + b'\n'


def test_restamping_in_place_replaces_the_key(signed, tmp_path):
    path = tmp_path / 'launcher.exe'
    path.write_bytes(signed['pe32'].read_bytes())
    path.chmod(0o751)
    assert stamp_key(path, 'k' * 1023).returncode == 0
    long_size = path.stat().st_size
    assert stamp_key(path, KEY).returncode == 0
    assert stamp_key(signed['pe32'], KEY, '-o', tmp_path / 'direct.exe').returncode == 0
    assert path.read_bytes() == (tmp_path / 'direct.exe').read_bytes()
    assert path.stat().st_size < long_size and path.stat().st_mode & 0o7777 == 0o751
    assert sorted(os.listdir(tmp_path)) == ['direct.exe', 'launcher.exe']  # no temporary file left


def test_unpadded_signature_entry_gets_its_padding(signed, tmp_path):
    data = signed['pe32'].read_bytes()
    layout = Layout(data)
    # A table that ends right after a 3-byte shorter signature entry, without padding.
    unpadded = with_fields(data[:-3], (layout.table, '<I', layout.entry_length - 3),
                           (layout.directory + 4, '<I', layout.table_size - 3))
    (tmp_path / 'in.exe').write_bytes(unpadded)
    assert stamp_key(tmp_path / 'in.exe', KEY).returncode == 0
    stamped = (tmp_path / 'in.exe').read_bytes()
    fields = ((layout.directory + 4, '<I', 0), (layout.checksum, '<I', 0))
    assert with_fields(stamped[:len(unpadded)], *fields) == with_fields(unpadded, *fields)
    assert stamped[len(unpadded):] == bytes(3) + BEGIN + KEY.encode() + END + bytes(2)
    assert stamp_key('--read', tmp_path / 'in.exe').stdout == KEY.encode() + b'\n'


def hostile_inputs(signed_data, unsigned_data):
    """(case, file bytes, expected words in the message) for inputs stamp-key must refuse."""
    d, at = signed_data, Layout(signed_data)
    second_entry = struct.pack('<IHH', 16, 0x200, 2) + b'0' * 8
    return [
        ('empty file', b'', 'no MZ header'),
        ('no MZ', b'ZM' + d[2:], 'no MZ header'),
        ('PE header past the end', with_fields(d, (0x3C, '<I', len(d) + 100)), 'past the end'),
        ('PE header at 4 GiB', with_fields(d, (0x3C, '<I', 0xFFFFFFFF)), 'past the end'),
        ('no PE signature', with_fields(d, (at.pe, '<I', 0x454E)), 'no PE signature'),  # NE
        ('headers cut short', d[:at.optional + 50], 'truncated'),
        ('optional header size too large', with_fields(d, (at.pe + 20, '<H', 0xFFFF)), 'truncated'),
        ('section count too large', with_fields(d, (at.pe + 6, '<H', 0xFFFF)), 'section table truncated'),
        ('unknown optional header', with_fields(d, (at.optional, '<H', 0x107)), 'unknown optional header'),
        ('unsigned', unsigned_data, 'not signed'),
        ('four data directories', with_fields(d, (at.rva_count, '<I', 4)), 'not signed'),
        ('table offset without size', with_fields(d, (at.directory + 4, '<I', 0)), 'inconsistent'),
        ('data after the table', d + bytes(8), 'does not end the file'),
        ('table past the end', with_fields(d, (at.directory + 4, '<I', at.table_size + 8)), 'past the end'),
        ('table inside the headers', with_fields(d, (at.directory, '<I', 8)), 'overlaps the PE headers'),
        ('table not aligned', with_fields(d, (at.directory, '<I', at.table + 4),
                                          (at.directory + 4, '<I', at.table_size - 4)), 'not 8-byte aligned'),
        ('table of 4 bytes', with_fields(d + bytes(4), (at.directory, '<I', len(d)), (at.directory + 4, '<I', 4)),
         'too small'),
        ('entry length 0', with_fields(d, (at.table, '<I', 0)), 'implausible'),
        ('entry length 8', with_fields(d, (at.table, '<I', 8)), 'implausible'),
        ('entry longer than the table', with_fields(d, (at.table, '<I', at.table_size + 1)), 'implausible'),
        ('entry length 4 GiB', with_fields(d, (at.table, '<I', 0xFFFFFFFF)), 'implausible'),
        ('X.509 entry', with_fields(d, (at.table + 6, '<H', 1)), 'not an Authenticode signature'),
        ('second certificate entry', with_fields(d + second_entry, (at.directory + 4, '<I', at.table_size + 16)),
         'unknown data'),
    ]


def assert_refused(result, expected, path, before):
    assert result.returncode == 1, result
    message = result.stderr.decode()
    assert message.startswith('stamp-key: ') and expected in message and 'Traceback' not in message, message
    if before is not None:
        assert (path.read_bytes(), path.stat().st_mtime_ns) == before


def test_hostile_inputs_are_refused_untouched(signed, tmp_path):
    cases = hostile_inputs(signed['pe32'].read_bytes(), minimal_pe(False))
    for case, data, expected in cases:
        path = tmp_path / 'in.exe'
        path.write_bytes(data)
        os.utime(path, ns=(1_000_000_000, 1_000_000_000))
        before = (data, 1_000_000_000)
        assert_refused(stamp_key(path, KEY), expected, path, before)
        assert_refused(stamp_key(path, KEY, '-o', tmp_path / 'out.exe'), expected, path, before)
        assert sorted(os.listdir(tmp_path)) == ['in.exe'], case
    assert_refused(stamp_key(tmp_path / 'missing.exe', KEY), 'cannot read', None, None)
    assert_refused(stamp_key(tmp_path, KEY), 'cannot read', None, None)
    assert_refused(stamp_key(signed['pe32'], KEY, '-o', tmp_path), 'is a folder', None, None)


@pytest.mark.parametrize('key, expected', [
    ('', 'empty'),
    ('a' * 1024, '1024 bytes long'),
    ('0123\u00e9', 'non-ASCII'),
    (KEY + '>>key_begin|', 'marker text'),
    ('|key_end<<' + KEY, 'marker text'),
])
def test_bad_keys_are_refused(signed, tmp_path, key, expected):
    path = tmp_path / 'in.exe'
    path.write_bytes(signed['pe32'].read_bytes())
    before = (path.read_bytes(), path.stat().st_mtime_ns)
    assert_refused(stamp_key(path, key), expected, path, before)


@pytest.fixture(scope='module')
def tool():
    """The tool's entry point, to be called in this process."""
    loader = importlib.machinery.SourceFileLoader('stamp_key', str(STAMP_KEY))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader('stamp_key', loader))
    loader.exec_module(module)
    return module.main


def test_key_with_zero_byte_is_refused(signed, tmp_path, capsys, tool):
    # A command line cannot carry a zero byte, so ask the entry point directly.
    path = tmp_path / 'in.exe'
    path.write_bytes(signed['pe32'].read_bytes())
    assert tool([str(path), 'ab\0cd']) == 1
    assert 'zero byte' in capsys.readouterr().err
    assert path.read_bytes() == signed['pe32'].read_bytes()


def test_damaged_files_never_crash_the_tool(signed, tmp_path, capsys, tool):
    source = tmp_path / 'in.exe'
    assert tool([str(signed['pe32']), KEY, '-o', str(source)]) == 0
    stamped = source.read_bytes()
    damaged = [stamped[:cut] for cut in range(0, len(stamped), 5)]
    damaged += [stamped[:at] + bytes([value]) + stamped[at + 1:]
                for at in range(0x200) for value in (0x00, 0x7F, 0xFF) if stamped[at] != value]
    for data in damaged:
        source.write_bytes(data)
        assert tool([str(source), KEY, '-o', str(tmp_path / 'out.exe')]) in (0, 1)
        assert tool(['--read', str(source)]) in (0, 1)
        assert source.read_bytes() == data
    assert 'Traceback' not in capsys.readouterr().err


def test_read_without_a_key(signed, tmp_path):
    assert_refused(stamp_key('--read', signed['pe32']), 'no key is stamped', None, None)
    (tmp_path / 'not.exe').write_bytes(b'plain text')
    assert_refused(stamp_key('--read', tmp_path / 'not.exe'), 'not a PE file', None, None)
    data = signed['pe32'].read_bytes()
    layout = Layout(data)
    unfinished = data + BEGIN + KEY.encode() + bytes(6)
    size = len(unfinished) - layout.table
    (tmp_path / 'half.exe').write_bytes(with_fields(unfinished, (layout.directory + 4, '<I', size)))
    assert_refused(stamp_key('--read', tmp_path / 'half.exe'), 'no end marker', None, None)


@pytest.mark.parametrize('arguments', [[], ['--read'], ['--read', 'a', 'b'], ['file'], ['file', 'key', 'extra'],
                                       ['--bogus', 'file', 'key'], ['file', 'key', '-o']])
def test_usage_errors(arguments):
    assert os.access(STAMP_KEY, os.X_OK)
    result = stamp_key(*arguments)
    assert result.returncode == 2 and b'usage: stamp-key' in result.stderr


def test_key_starting_with_a_dash(signed, tmp_path):
    assert stamp_key(signed['pe32'], '-o', tmp_path / 'out.exe', '--', '-k3y').returncode == 0
    assert stamp_key('--read', tmp_path / 'out.exe').stdout == b'-k3y\n'

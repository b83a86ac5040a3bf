"""Just enough PE reading for the tests: sections and header fields."""
import struct


def nt_offset(data):
    return struct.unpack_from('<I', data, 0x3C)[0]


def sections(data):
    """{name: (file offset, raw size)} of the section table."""
    nt = nt_offset(data)
    count = struct.unpack_from('<H', data, nt + 6)[0]
    optional_size = struct.unpack_from('<H', data, nt + 20)[0]
    table = nt + 24 + optional_size
    found = {}
    for i in range(count):
        entry = table + 40 * i
        name = data[entry:entry + 8].rstrip(b'\0').decode('ascii', 'replace')
        raw_size, raw_offset = struct.unpack_from('<II', data, entry + 16)
        found[name] = (raw_offset, raw_size)
    return found


def time_date_stamp_offset(data):
    return nt_offset(data) + 8


def security_directory(data):
    """(file offset, size) of the attribute certificate table."""
    nt = nt_offset(data)
    magic = struct.unpack_from('<H', data, nt + 24)[0]
    directories = nt + 24 + (96 if magic == 0x10B else 112)
    return struct.unpack_from('<II', data, directories + 4 * 8)


def imports(data):
    """{DLL name: names of the functions imported from it} of the import
    directory (not the delay-import one), in order; ordinals as '#N'."""
    nt = nt_offset(data)
    magic = struct.unpack_from('<H', data, nt + 24)[0]
    directories = nt + 24 + (96 if magic == 0x10B else 112)
    thunk_format, by_ordinal = ('<I', 1 << 31) if magic == 0x10B else ('<Q', 1 << 63)
    imports_rva = struct.unpack_from('<I', data, directories + 8)[0]
    count = struct.unpack_from('<H', data, nt + 6)[0]
    table = nt + 24 + struct.unpack_from('<H', data, nt + 20)[0]
    spans = [struct.unpack_from('<IIII', data, table + 40 * i + 8) for i in range(count)]

    def offset(rva):
        for virtual_size, address, raw_size, raw_offset in spans:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        raise ValueError(f'RVA {rva:#x} lies in no section')

    def text(rva):
        start = offset(rva)
        return data[start:data.index(b'\0', start)].decode('ascii')

    found, entry = {}, offset(imports_rva)
    while True:
        lookup_rva, _, _, name_rva, address_rva = struct.unpack_from('<IIIII', data, entry)
        if name_rva == 0:
            return found
        names, thunk = [], offset(lookup_rva or address_rva)
        while (value := struct.unpack_from(thunk_format, data, thunk)[0]) != 0:
            names.append(f'#{value & 0xFFFF}' if value & by_ordinal else text(value + 2))
            thunk += struct.calcsize(thunk_format)
        found[text(name_rva)] = names
        entry += 20


def imported_dlls(data):
    """Names of the DLLs in the import directory (not the delay-import one), in order."""
    return list(imports(data))

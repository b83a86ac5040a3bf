#!/usr/bin/env python3
"""Writes a binary message table (the layout of a MESSAGETABLE resource)
holding the test messages the unit tests look up through their own module
and through the stand-in wininet.dll."""
import struct
import sys

# id -> text; ids the system table has no text for. The Internet errors
# are the numbers on both sides of both edges of their range (12000 to
# 12175), which Wine's own wininet.dll has no text for either.
MESSAGES = {
    0x2000F00D: "\r\n\r\nFramed by line breaks.\r\n\r\n",
    0x2000F00E: " Keeps blanks and tabs\t.\r\n",
    **{number: f"Internet error {number}.\r\n" for number in (11999, 12000, 12175, 12176)},
}


def entry(text):
    data = text.encode('utf-16-le') + b'\0\0'
    data += b'\0' * (-(4 + len(data)) % 4)
    return struct.pack('<HH', 4 + len(data), 1) + data  # length, flags (1 = Unicode)


def main():
    ids = sorted(MESSAGES)
    blocks = []
    offset = 4 + 12 * len(ids)
    entries = b''
    for message_id in ids:
        blocks.append(struct.pack('<III', message_id, message_id, offset))
        data = entry(MESSAGES[message_id])
        entries += data
        offset += len(data)
    with open(sys.argv[1], 'wb') as out:
        out.write(struct.pack('<I', len(ids)) + b''.join(blocks) + entries)


if __name__ == '__main__':
    main()

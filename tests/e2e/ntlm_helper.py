#!/usr/bin/python3
"""squid's NTLM authentication helper for the tests' proxy (test-only).

    ntlm_helper.py ACCOUNTS_FILE LOG_FILE [negotiate]

squid starts it with the helper protocol on standard input and output, one
line each way: "YR [type 1]" gets "TT <type 2>" (a challenge: target name
right after the 56-byte header, then the target-info pairs), "KK <type 3>"
gets "AF <DOMAIN\\user>" or "NA <reason>". With "negotiate" it serves
squid's Negotiate scheme for clients that fall back to NTLM inside it
(WinINet without Kerberos sends raw NTLM messages there): the same lines,
but an acceptance carries an empty final token, "AF = <DOMAIN\\user>".

ACCOUNTS_FILE is JSON: {"users": {"name": "password", ...}, "refused": [...]}.
A user is accepted when the NTLMv2 response proves the password (user names
match whatever their case and domain); a user in "refused" is refused
whatever it proves. Each decision is appended to LOG_FILE as one JSON line
{"verdict": "AF"|"NA", "domain": ..., "user": ..., "reason": ...}.
"""
import base64
import hashlib
import hmac
import json
import os
import struct
import sys

SIGNATURE = b'NTLMSSP\0'
DOMAIN = 'LOOMCRAFT'
SERVER = 'PROXY'
DNS_DOMAIN = 'loomcraft.test'
# UNICODE, REQUEST_TARGET, NTLM, ALWAYS_SIGN, TARGET_TYPE_DOMAIN,
# EXTENDED_SESSIONSECURITY, TARGET_INFO, VERSION, 128, KEY_EXCH, 56
CHALLENGE_FLAGS = 0x00000001 | 0x00000004 | 0x00000200 | 0x00008000 | 0x00010000 | 0x00080000 | 0x00800000 \
    | 0x02000000 | 0x20000000 | 0x40000000 | 0x80000000
NEGOTIATE_UNICODE = 0x00000001
HEADER = 56


def _left(x, n):
    return ((x << n) | (x >> (32 - n))) & 0xFFFFFFFF


def md4(data: bytes) -> bytes:
    """MD4 (RFC 1320): OpenSSL 3 hides it from hashlib."""
    message = data + b'\x80' + b'\0' * ((55 - len(data)) % 64) + struct.pack('<Q', len(data) * 8)
    a, b, c, d = 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476
    for block in range(0, len(message), 64):
        x = struct.unpack('<16I', message[block:block + 64])
        aa, bb, cc, dd = a, b, c, d
        for i in range(16):
            k, s = i, (3, 7, 11, 19)[i % 4]
            a, b, c, d = d, _left((a + ((b & c) | (~b & d)) + x[k]) & 0xFFFFFFFF, s), b, c
        for i in range(16):
            k, s = (i % 4) * 4 + i // 4, (3, 5, 9, 13)[i % 4]
            a, b, c, d = d, _left((a + ((b & c) | (b & d) | (c & d)) + x[k] + 0x5A827999) & 0xFFFFFFFF, s), b, c
        for i in range(16):
            k, s = (0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15)[i], (3, 9, 11, 15)[i % 4]
            a, b, c, d = d, _left((a + (b ^ c ^ d) + x[k] + 0x6ED9EBA1) & 0xFFFFFFFF, s), b, c
        a, b, c, d = [(v + w) & 0xFFFFFFFF for v, w in ((a, aa), (b, bb), (c, cc), (d, dd))]
    return struct.pack('<4I', a, b, c, d)


def _av_pair(kind, text):
    value = text.encode('utf-16-le')
    return struct.pack('<HH', kind, len(value)) + value


def challenge_message(server_challenge: bytes) -> bytes:
    """A type 2 message whose fields all lie inside it."""
    target = DOMAIN.encode('utf-16-le')
    info = (_av_pair(2, DOMAIN) + _av_pair(1, SERVER) + _av_pair(4, DNS_DOMAIN) +
            _av_pair(3, f'{SERVER.lower()}.{DNS_DOMAIN}') + struct.pack('<HH', 0, 0))
    return (SIGNATURE + struct.pack('<I', 2) + struct.pack('<HHI', len(target), len(target), HEADER) +
            struct.pack('<I', CHALLENGE_FLAGS) + server_challenge + b'\0' * 8 +
            struct.pack('<HHI', len(info), len(info), HEADER + len(target)) +
            bytes((6, 1)) + struct.pack('<H', 7601) + b'\0\0\0\x0f' + target + info)


class Authenticate:
    """The parts of a type 3 message the decision needs."""

    def __init__(self, message: bytes):
        if len(message) < 64 or message[:8] != SIGNATURE or struct.unpack_from('<I', message, 8)[0] != 3:
            raise ValueError('not an NTLM authenticate message')
        flags = struct.unpack_from('<I', message, 60)[0]

        def field(offset):
            length, _, start = struct.unpack_from('<HHI', message, offset)
            if start + length > len(message):
                raise ValueError('a field lies outside the message')
            return message[start:start + length]

        def text(offset):
            raw = field(offset)
            return raw.decode('utf-16-le' if flags & NEGOTIATE_UNICODE else 'latin-1')
        self.nt_response = field(20)
        self.domain = text(28)
        self.user = text(36)

    def proves(self, password: str, server_challenge: bytes) -> bool:
        """Whether the NTLMv2 response was made with this password."""
        if len(self.nt_response) <= 16:
            return False   # NTLMv1 (or anonymous) is not accepted
        key = hmac.new(md4(password.encode('utf-16-le')), (self.user.upper() + self.domain).encode('utf-16-le'),
                       hashlib.md5).digest()
        proof = hmac.new(key, server_challenge + self.nt_response[16:], hashlib.md5).digest()
        return hmac.compare_digest(proof, self.nt_response[:16])


def decide(accounts, message, server_challenge):
    """(verdict, domain, user, reason) for a type 3 message."""
    try:
        answer = Authenticate(message)
    except (ValueError, struct.error, UnicodeDecodeError) as error:
        return 'NA', '', '', str(error)
    users = {name.lower(): password for name, password in accounts['users'].items()}
    refused = {name.lower() for name in accounts.get('refused', ())}
    name = answer.user.lower()
    if name in refused:
        reason = 'refused user'
    elif name not in users:
        reason = 'unknown user'
    elif server_challenge is None:
        reason = 'no challenge was sent'
    elif not answer.proves(users[name], server_challenge):
        reason = 'wrong password'
    else:
        reason = ''
    return ('NA' if reason else 'AF'), answer.domain, answer.user, reason


def log(path, **entry):
    with open(path, 'a') as file:
        file.write(json.dumps(entry) + '\n')


def serve(accounts, log_path, negotiate=False, lines=sys.stdin, out=sys.stdout):
    accepted = 'AF = ' if negotiate else 'AF '
    server_challenge = None
    for line in lines:
        request, _, blob = line.strip().partition(' ')
        try:
            message = base64.b64decode(blob, validate=True) if blob else b''
        except ValueError:
            message = None
        if request == 'YR' and message is not None and (not message or message.startswith(SIGNATURE)):
            server_challenge = os.urandom(8)
            reply = 'TT ' + base64.b64encode(challenge_message(server_challenge)).decode()
        elif request == 'KK' and message is not None:
            verdict, domain, user, reason = decide(accounts, message, server_challenge)
            server_challenge = None
            log(log_path, verdict=verdict, domain=domain, user=user, reason=reason)
            who = f'{domain}\\{user}' if domain else user
            reply = accepted + who if verdict == 'AF' else f'NA {reason}'
        else:
            reply = 'BH not an NTLM exchange'
        out.write(reply + '\n')
        out.flush()


if __name__ == '__main__':
    with open(sys.argv[1]) as file:
        serve(json.load(file), sys.argv[2], negotiate=sys.argv[3:] == ['negotiate'])

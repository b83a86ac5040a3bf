#include "retrieval/sha1.h"

#include <cstring>

namespace {

uint32_t RotateLeft(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

const uint32_t kInitial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
const uint32_t kRoundConstants[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

}  // namespace

SHA1::SHA1() : m_lengthLow(0), m_lengthHigh(0), m_blockIndex(0), m_computed(false), m_corrupted(false) {
    std::memcpy(m_digest, kInitial, sizeof m_digest);
    std::memset(m_block, 0, sizeof m_block);
}

SHA1::~SHA1() = default;

void SHA1::AddBytes(const unsigned char* bytes, size_t length) {
    if (m_computed || m_corrupted) {
        m_corrupted = true;
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        m_block[m_blockIndex++] = bytes[i];
        m_lengthLow += 8;
        if (m_lengthLow == 0) {
            ++m_lengthHigh;
            if (m_lengthHigh == 0) {
                m_corrupted = true;
                return;
            }
        }
        if (m_blockIndex == 64) ProcessBlock();
    }
}

bool SHA1::GetDigest(uint32_t digest[5]) {
    if (m_corrupted) return false;
    if (!m_computed) {
        PadMessage();
        std::memset(m_block, 0, sizeof m_block);
        m_lengthLow = 0;
        m_lengthHigh = 0;
        m_computed = true;
    }
    std::memcpy(digest, m_digest, sizeof m_digest);
    return true;
}

void SHA1::ProcessBlock() {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) {
        w[t] = static_cast<uint32_t>(m_block[t * 4]) << 24 | static_cast<uint32_t>(m_block[t * 4 + 1]) << 16 |
               static_cast<uint32_t>(m_block[t * 4 + 2]) << 8 | static_cast<uint32_t>(m_block[t * 4 + 3]);
    }
    for (int t = 16; t < 80; ++t) w[t] = RotateLeft(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = m_digest[0], b = m_digest[1], c = m_digest[2], d = m_digest[3], e = m_digest[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f;
        if (t < 20) {
            f = (b & c) | (~b & d);
        } else if (t < 40 || t >= 60) {
            f = b ^ c ^ d;
        } else {
            f = (b & c) | (b & d) | (c & d);
        }
        uint32_t temp = RotateLeft(a, 5) + f + e + w[t] + kRoundConstants[t / 20];
        e = d;
        d = c;
        c = RotateLeft(b, 30);
        b = a;
        a = temp;
    }
    m_digest[0] += a;
    m_digest[1] += b;
    m_digest[2] += c;
    m_digest[3] += d;
    m_digest[4] += e;
    m_blockIndex = 0;
}

// A 1 bit, zeros, then the 64-bit message length in bits, big-endian.
void SHA1::PadMessage() {
    m_block[m_blockIndex++] = 0x80;
    if (m_blockIndex > 56) {
        while (m_blockIndex < 64) m_block[m_blockIndex++] = 0;
        ProcessBlock();
    }
    while (m_blockIndex < 56) m_block[m_blockIndex++] = 0;
    const uint32_t lengths[2] = {m_lengthHigh, m_lengthLow};
    for (int i = 0; i < 8; ++i) m_block[56 + i] = static_cast<unsigned char>(lengths[i / 4] >> (24 - 8 * (i % 4)));
    ProcessBlock();
}

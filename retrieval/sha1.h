// SHA-1 (FIPS 180-1), for cache names and the machine identifier.
#pragma once

#include <cstddef>
#include <cstdint>

class SHA1 {
public:
    SHA1();
    virtual ~SHA1();

    // Appends bytes. After GetDigest, or once corrupted (a message of 2^64
    // bits or more), the object refuses further work and stays corrupted.
    void AddBytes(const unsigned char* bytes, size_t length);

    // Pads the message once and copies H0..H4 out; false when corrupted.
    // Calling it again returns the same words.
    bool GetDigest(uint32_t digest[5]);

private:
    void ProcessBlock();
    void PadMessage();

    uint32_t m_digest[5];
    uint32_t m_lengthLow;   // message length in bits
    uint32_t m_lengthHigh;
    unsigned char m_block[64];
    int m_blockIndex;
    bool m_computed;
    bool m_corrupted;
};

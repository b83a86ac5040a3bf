#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "launcher/embedded_key.h"
#include "test_folder.h"

namespace {

const std::string kBegin = ">>key_begin|";
const std::string kEnd = "|key_end<<";
const std::string kKey = "0123456789abcdef0123456789abcdef01234567";

// Headers of a minimal PE32 file as the loader would map them; the
// certificate table itself is only read from the file.
std::string PeHeaders(DWORD tableOffset, DWORD tableSize, DWORD directories = 16) {
    std::string headers(0x200, '\0');
    IMAGE_DOS_HEADER dos = {};
    dos.e_magic = IMAGE_DOS_SIGNATURE;
    dos.e_lfanew = 0x80;
    std::memcpy(&headers[0], &dos, sizeof dos);
    IMAGE_NT_HEADERS32 nt = {};
    nt.Signature = IMAGE_NT_SIGNATURE;
    nt.FileHeader.Machine = IMAGE_FILE_MACHINE_I386;
    nt.FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER32);
    nt.OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
    nt.OptionalHeader.NumberOfRvaAndSizes = directories;
    nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].VirtualAddress = tableOffset;
    nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size = tableSize;
    std::memcpy(&headers[0x80], &nt, sizeof nt);
    return headers;
}

// A signature entry (8-byte header and some bytes, padded to 8) and what follows it.
std::string Table(const std::string& afterSignature) {
    std::string signature = std::string("\x20\x00\x00\x00\x00\x02\x02\x00", 8) + std::string(24, '\x30');
    return signature + afterSignature;
}

std::string Block(const std::string& key) {
    std::string block = kBegin + key + kEnd;
    block.append((8 - block.size() % 8) % 8, '\0');
    return block;
}

CResult FindIn(const std::string& table, std::string& key) {
    return FindKeyInTable(reinterpret_cast<const unsigned char*>(table.data()), table.size(), key);
}

TEST(FindKeyInTable, TakesTheKeyBetweenTheMarkersAnywhereInTheTable) {
    std::string key;
    ASSERT_EQ(FindIn(Table(Block(kKey)), key).m_hr, S_OK);
    EXPECT_EQ(key, kKey);
    ASSERT_EQ(FindIn(kBegin + "k" + kEnd, key).m_hr, S_OK);
    EXPECT_EQ(key, "k");
    ASSERT_EQ(FindIn(Table(Block("first")) + Block("second"), key).m_hr, S_OK);
    EXPECT_EQ(key, "first");
}

TEST(FindKeyInTable, MissingOrMisplacedMarkers) {
    std::string key = "untouched";
    CResult none = FindIn(Table(std::string(40, 'x')), key);
    EXPECT_EQ(none.m_hr, E_FAIL);
    EXPECT_EQ(none.m_code, 623);
    EXPECT_EQ(none.m_message, L"Could not find key");
    EXPECT_EQ(FindIn("", key).m_code, 623);
    EXPECT_EQ(FindIn(kEnd, key).m_code, 623);

    CResult noEnd = FindIn(Table(kBegin + kKey), key);
    EXPECT_EQ(noEnd.m_code, 626);
    EXPECT_TRUE(noEnd.m_message.empty());

    EXPECT_EQ(FindIn(Table(kEnd + kBegin + kKey), key).m_code, 628);
    EXPECT_EQ(FindIn(Table(kEnd + Block(kKey)), key).m_code, 628) << "a later end marker does not help";
    // Overlapping markers: the end marker starts on the begin marker's last
    // character, after its position but before any key byte.
    EXPECT_EQ(FindIn(">>key_begin|key_end<<", key).m_code, 631);
    EXPECT_EQ(key, "untouched");
}

TEST(FindKeyInTable, KeyLengthBounds) {
    std::string key;
    CResult empty = FindIn(Table(Block("")), key);
    EXPECT_EQ(empty.m_hr, E_FAIL);
    EXPECT_EQ(empty.m_code, 631);
    ASSERT_EQ(FindIn(Table(Block(std::string(1023, 'a'))), key).m_hr, S_OK);
    EXPECT_EQ(key.size(), 1023u);
    EXPECT_EQ(FindIn(Table(Block(std::string(1024, 'a'))), key).m_code, 632);
}

TEST(FindKeyInTable, AZeroByteStaysInTheKeyAndCutsItWhenWidened) {
    std::string key;
    ASSERT_EQ(FindIn(Table(Block(std::string("abc\0def", 7))), key).m_hr, S_OK);
    EXPECT_EQ(key.size(), 7u);
    EXPECT_EQ(WidenAnsi(key), L"abc");
}

// Hostile certificate tables: only the listed outcomes, never a crash.
TEST(FindKeyInTable, MutatedTablesGiveOnlyListedOutcomes) {
    std::mt19937 random(20261208);
    const std::string base = Table(Block(kKey)) + Block("x") + kEnd + kBegin;
    const std::set<int> listed = {0, 623, 626, 628, 631, 632};
    for (int round = 0; round < 5000; ++round) {
        std::string table = base;
        int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits; ++e) {
            size_t at = random() % (table.size() + 1);
            switch (random() % 4) {
                case 0: if (at < table.size()) table[at] = static_cast<char>(random()); break;
                case 1: table.insert(at, random() % 2 ? kBegin : kEnd); break;
                case 2: table.erase(at, random() % 16); break;
                default: table.insert(at, std::string(random() % 1100, static_cast<char>('a' + random() % 26)));
            }
        }
        std::string key;
        CResult result = FindIn(table, key);
        ASSERT_TRUE(listed.count(result.m_code)) << result.m_code;
        if (result.Succeeded()) {
            EXPECT_GE(key.size(), 1u);
            EXPECT_LE(key.size(), 1023u);
            EXPECT_EQ(key.find(kEnd), std::string::npos);
        }
    }
}

class EmbeddedKeyFile : public ::testing::Test {
protected:
    // Writes headers + padding + table at `offset`, returns the file's path.
    std::wstring WritePe(const std::string& headers, DWORD offset, const std::string& table) {
        std::string file = headers;
        file.resize(offset, '\0');
        file += table;
        return m_folder.Write(L"launcher.exe", file);
    }
    TestFolder m_folder;
};

TEST_F(EmbeddedKeyFile, ReadsTheStampedKeyFromTheFile) {
    std::string table = Table(Block(kKey));
    std::string headers = PeHeaders(0x400, static_cast<DWORD>(table.size()));
    std::wstring path = WritePe(headers, 0x400, table);
    std::string key;
    ASSERT_EQ(ReadEmbeddedKeyFromFile(headers.data(), path, key).m_hr, S_OK);
    EXPECT_EQ(key, kKey);
}

TEST_F(EmbeddedKeyFile, HeaderFailuresComeBeforeTheFileIsOpened) {
    std::wstring missing = m_folder / L"not-there.exe";
    std::string key;
    std::string noSignature = PeHeaders(0x400, 64);
    noSignature[0x80] = 'X';
    EXPECT_EQ(ReadEmbeddedKeyFromFile(noSignature.data(), missing, key).m_code, 577);
    EXPECT_EQ(ReadEmbeddedKeyFromFile(PeHeaders(0x400, 0).data(), missing, key).m_code, 581);
    EXPECT_EQ(ReadEmbeddedKeyFromFile(PeHeaders(0x400, 64, 4).data(), missing, key).m_code, 581)
        << "too few directories for a security directory";
    CResult oneMiB = ReadEmbeddedKeyFromFile(PeHeaders(0x400, 0x100000).data(), missing, key);
    EXPECT_EQ(oneMiB.m_hr, E_FAIL);
    EXPECT_EQ(oneMiB.m_code, 582);
    EXPECT_EQ(ReadEmbeddedKeyFromFile(PeHeaders(0, 64).data(), missing, key).m_code, 583);
    CResult notOpened = ReadEmbeddedKeyFromFile(PeHeaders(0x400, 0xFFFFF).data(), missing, key);
    EXPECT_EQ(notOpened.m_code, 590) << "just under 1 MiB passes the size check";
    EXPECT_EQ(notOpened.m_hr, static_cast<HRESULT>(0x80070002));
}

TEST_F(EmbeddedKeyFile, TableRunningPastTheEndOfTheFileIsAShortRead) {
    std::string table = Table(Block(kKey));
    std::string headers = PeHeaders(0x400, static_cast<DWORD>(table.size()) + 100);
    std::wstring path = WritePe(headers, 0x400, table);
    std::string key;
    CResult result = ReadEmbeddedKeyFromFile(headers.data(), path, key);
    EXPECT_EQ(result.m_code, 601);
    EXPECT_LT(result.m_hr, 0);
}

TEST_F(EmbeddedKeyFile, MarkerTextsOutsideTheTableAreNeverTaken) {
    std::string table = Table(std::string(64, 'z'));
    std::string headers = PeHeaders(0x400, static_cast<DWORD>(table.size()));
    headers.replace(0x180, 0, Block("in-the-headers"));
    headers.resize(0x200);
    std::string file = headers;
    file.resize(0x300, '\0');
    file += Block("in-the-code");
    file.resize(0x400, '\0');
    file += table + Block("after-the-table");
    std::wstring path = m_folder.Write(L"marked.exe", file);
    std::string key;
    EXPECT_EQ(ReadEmbeddedKeyFromFile(headers.data(), path, key).m_code, 623);
}

}  // namespace

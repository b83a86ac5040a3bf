// The key each launcher carries in its own file: inside the PE attribute
// certificate table, after the code signature, between ">>key_begin|" and
// "|key_end<<".
#pragma once

#include <cstddef>
#include <string>

#include "foundation/result.h"

// Reads the key of the launcher's own file; `image` is its loaded image
// (GetModuleHandleW(nullptr)).
CResult ReadEmbeddedKey(const void* image, std::string& key);

// The two steps below are separate so that the unit tests can feed them
// tables and headers of their own making; the launcher uses ReadEmbeddedKey.
// The same for any PE file: `image` holds its headers as loaded (the first
// bytes of the file serve), `filePath` names the file the table is read from.
CResult ReadEmbeddedKeyFromFile(const void* image, const std::wstring& filePath, std::string& key);

// Finds the key in a certificate table already in memory.
CResult FindKeyInTable(const unsigned char* table, size_t size, std::string& key);

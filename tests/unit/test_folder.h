// A fresh folder under the temporary folder, removed with its content at the end of a test.
#pragma once

#include <windows.h>

#include <string>

class TestFolder {
public:
    TestFolder();
    ~TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

    // Writes `bytes` to `name` inside the folder; returns the full path.
    std::wstring Write(const std::wstring& name, const std::string& bytes) const;
    // The whole content of a file, or "<missing>".
    static std::string Read(const std::wstring& path);

private:
    std::wstring m_path;
};

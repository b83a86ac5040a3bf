#include "foundation/dialog_template.h"

#include <cstring>

namespace {

constexpr WORD kExtendedTemplate = 0xFFFF;  // the signature word of a DIALOGEX
constexpr WORD kOrdinal = 0xFFFF;           // a name or class given as a number

// Reads the template in order; any read past its end marks it bad.
class CTemplateReader {
public:
    CTemplateReader(const BYTE* data, size_t size) : m_data(data), m_size(size) {}

    template <typename T>
    T Take() {
        T value{};
        if (m_offset + sizeof value > m_size) {
            m_ok = false;
            return value;
        }
        std::memcpy(&value, m_data + m_offset, sizeof value);
        m_offset += sizeof value;
        return value;
    }

    void SkipText() {
        while (m_ok && Take<WORD>() != 0) {
        }
    }

    // An ordinal (0xFFFF and a number), nothing (0), or a text.
    void SkipNameOrOrdinal() {
        WORD first = Take<WORD>();
        if (first == kOrdinal) {
            Take<WORD>();
        } else if (first != 0) {
            SkipText();
        }
    }

    void Skip(size_t bytes) { m_offset += bytes; }
    void AlignToDword() { m_offset = (m_offset + 3) & ~static_cast<size_t>(3); }
    bool Ok() const { return m_ok && m_offset <= m_size; }

private:
    const BYTE* m_data;
    size_t m_size;
    size_t m_offset = 0;
    bool m_ok = true;
};

CDialogUnits TakeRect(CTemplateReader& reader) {
    CDialogUnits rect;
    rect.x = reader.Take<short>();
    rect.y = reader.Take<short>();
    rect.cx = reader.Take<short>();
    rect.cy = reader.Take<short>();
    return rect;
}

bool ReadControls(CTemplateReader& reader, WORD count, CDialogLayout& layout) {
    for (WORD i = 0; i < count && reader.Ok(); ++i) {
        reader.AlignToDword();
        reader.Take<DWORD>();  // help id
        reader.Take<DWORD>();  // extended style
        reader.Take<DWORD>();  // style
        layout.controls.push_back(TakeRect(reader));
        reader.Take<DWORD>();  // id
        reader.SkipNameOrOrdinal();  // class
        reader.SkipNameOrOrdinal();  // text
        reader.Skip(reader.Take<WORD>());  // creation data
    }
    return reader.Ok();
}

}  // namespace

bool ReadDialogLayout(int templateId, CDialogLayout& layout) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(templateId), RT_DIALOG);
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const BYTE* data = loaded != nullptr ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    if (data == nullptr) return false;
    CTemplateReader reader(data, SizeofResource(module, found));
    reader.Take<WORD>();  // version
    if (reader.Take<WORD>() != kExtendedTemplate) return false;
    reader.Take<DWORD>();  // help id
    reader.Take<DWORD>();  // extended style
    DWORD style = reader.Take<DWORD>();
    WORD count = reader.Take<WORD>();
    CDialogUnits dialog = TakeRect(reader);
    if ((style & DS_SETFONT) == 0) return false;
    reader.SkipNameOrOrdinal();  // menu
    reader.SkipNameOrOrdinal();  // class
    reader.SkipText();           // caption
    layout.pointSize = reader.Take<WORD>();
    reader.Take<WORD>();  // weight
    reader.Take<BYTE>();  // italic
    reader.Take<BYTE>();  // character set
    reader.SkipText();    // face
    layout.cx = dialog.cx;
    layout.cy = dialog.cy;
    layout.controls.clear();
    return ReadControls(reader, count, layout);
}

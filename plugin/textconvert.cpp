#include "plugin/textconvert.h"

#include "format/utf8.h"

namespace vexa {

std::wstring WidenUtf8(const std::string& text)
{
    return utf::FromUtf8<wchar_t>(text);
}

bool NarrowUtf8(const std::wstring& text, std::string& out)
{
    // Up to the first NUL, where the address list's strings end.
    const std::size_t end = text.find(L'\0');
    out = utf::ToUtf8(text.data(), end == std::wstring::npos ? text.size() : end);
    return true;
}

} // namespace vexa

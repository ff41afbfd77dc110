#include "plugin/textconvert.h"

#include <algorithm>

#include "format/utf8.h"

namespace vexa {

std::wstring WidenUtf8(const std::string& text)
{
    return utf::FromUtf8<wchar_t>(text);
}

bool NarrowUtf8(const std::wstring& text, std::string& out)
{
    // Up to the first NUL, where the address list's strings end.
    const std::size_t end = std::min(text.find(L'\0'), text.size());
    // A surrogate without its other half has no UTF-8 form: such a text cannot be narrowed
    // without changing it.
    for (std::size_t i = 0; i < end; ++i) {
        const wchar_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < end && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            ++i;
        else if (c >= 0xD800 && c <= 0xDFFF)
            return false;
    }
    out = utf::ToUtf8(text.data(), end);
    return true;
}

} // namespace vexa

// Wide text helpers shared by the plugin and the settings page.
#pragma once
#include <cwctype>
#include <string>

namespace vexa {

// Removes white space, as the C runtime's iswspace sees it, from both ends.
inline std::wstring TrimWhiteSpace(const std::wstring& text)
{
    std::wstring::size_type first = 0, last = text.size();
    while (first < last && std::iswspace(text[first])) ++first;
    while (last > first && std::iswspace(text[last - 1])) --last;
    return text.substr(first, last - first);
}

} // namespace vexa

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

// Equal apart from the case of the ASCII letters A-Z; every other character must match.
// This is how the feed list tells one address from another.
inline bool EqualIgnoringAsciiCase(const std::wstring& a, const std::wstring& b)
{
    auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

} // namespace vexa

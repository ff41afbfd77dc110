// Resolution of a relative reference against a base address (the rules of RFC 3986, 5.2),
// for the links of feeds that give them relative to the feed or to an xml:base. Plain C++.
#pragma once
#include <string>

namespace vexa {

// The address that `reference` names when read relative to `base`. An absolute reference
// (one with a scheme) is returned as it is; so is any reference when the base has no scheme.
std::string ResolveUrl(const std::string& base, const std::string& reference);

// Whether `text` starts with `prefix` (written in lower case), in any letter case.
bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) noexcept;

// True for the addresses the downloads take: http and https, in any letter case.
bool IsHttpAddress(const std::wstring& url) noexcept;
bool IsHttpsAddress(const std::wstring& url) noexcept;

// True for an absolute http or https address (scheme in any letter case) with a host.
bool IsWebAddress(const std::string& url);

} // namespace vexa

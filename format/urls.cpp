#include "format/urls.h"

#include <cctype>
#include <cwctype>

namespace vexa {
namespace {

const char kBlanks[] = " \t\n\v\f\r";

struct Parts {
    std::string scheme;    // without ':'
    bool hasAuthority = false;
    std::string authority; // without "//"
    std::string path;
    bool hasQuery = false;
    std::string query;     // without '?'
    bool hasFragment = false;
    std::string fragment;  // without '#'
};

// The scheme's length when `text` starts with one ("http:"), else 0.
std::size_t SchemeLength(const std::string& text)
{
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0])))
        return 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ':')
            return i;
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return 0;
    }
    return 0;
}

Parts Split(const std::string& text)
{
    Parts parts;
    std::size_t at = SchemeLength(text);
    if (at > 0) {
        parts.scheme = text.substr(0, at);
        ++at;
    }
    if (text.compare(at, 2, "//") == 0) {
        parts.hasAuthority = true;
        const std::size_t end = text.find_first_of("/?#", at + 2);
        parts.authority = text.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
        at = end == std::string::npos ? text.size() : end;
    }
    const std::size_t pathEnd = text.find_first_of("?#", at);
    parts.path = text.substr(at, pathEnd == std::string::npos ? std::string::npos : pathEnd - at);
    at = pathEnd == std::string::npos ? text.size() : pathEnd;
    if (at < text.size() && text[at] == '?') {
        const std::size_t end = text.find('#', at);
        parts.hasQuery = true;
        parts.query = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        at = end == std::string::npos ? text.size() : end;
    }
    if (at < text.size() && text[at] == '#') {
        parts.hasFragment = true;
        parts.fragment = text.substr(at + 1);
    }
    return parts;
}

// Takes out "." and ".." segments.
std::string RemoveDotSegments(std::string in)
{
    std::string out;
    while (!in.empty()) {
        if (in.compare(0, 3, "../") == 0) {
            in.erase(0, 3);
        } else if (in.compare(0, 2, "./") == 0) {
            in.erase(0, 2);
        } else if (in.compare(0, 3, "/./") == 0) {
            in.erase(0, 2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.compare(0, 4, "/../") == 0 || in == "/..") {
            in = in.size() == 3 ? std::string("/") : in.substr(3);
            const std::size_t last = out.rfind('/');
            out.erase(last == std::string::npos ? 0 : last);
        } else if (in == "." || in == "..") {
            in.clear();
        } else {
            const std::size_t next = in.find('/', in[0] == '/' ? 1 : 0);
            out += in.substr(0, next);
            in.erase(0, next);
        }
    }
    return out;
}

std::string Join(const Parts& parts)
{
    std::string out;
    if (!parts.scheme.empty())
        out += parts.scheme + ":";
    if (parts.hasAuthority)
        out += "//" + parts.authority;
    out += parts.path;
    if (parts.hasQuery)
        out += "?" + parts.query;
    if (parts.hasFragment)
        out += "#" + parts.fragment;
    return out;
}

} // namespace

std::string ResolveUrl(const std::string& base, const std::string& rawReference)
{
    // As a browser reads an address: without the white space and controls around it.
    const std::size_t first = rawReference.find_first_not_of(kBlanks);
    const std::string reference =
        first == std::string::npos ? std::string()
                                   : rawReference.substr(first, rawReference.find_last_not_of(kBlanks) - first + 1);
    const Parts ref = Split(reference);
    const Parts from = Split(base);
    if (!ref.scheme.empty() || from.scheme.empty())
        return reference;
    Parts target;
    target.scheme = from.scheme;
    target.hasFragment = ref.hasFragment;
    target.fragment = ref.fragment;
    if (ref.hasAuthority) {
        target.hasAuthority = true;
        target.authority = ref.authority;
        target.path = RemoveDotSegments(ref.path);
        target.hasQuery = ref.hasQuery;
        target.query = ref.query;
        return Join(target);
    }
    target.hasAuthority = from.hasAuthority;
    target.authority = from.authority;
    if (ref.path.empty()) {
        target.path = from.path;
        target.hasQuery = ref.hasQuery || from.hasQuery;
        target.query = ref.hasQuery ? ref.query : from.query;
    } else {
        if (ref.path[0] == '/') {
            target.path = RemoveDotSegments(ref.path);
        } else if (from.hasAuthority && from.path.empty()) {
            target.path = RemoveDotSegments("/" + ref.path);
        } else {
            const std::size_t slash = from.path.rfind('/');
            const std::string merged =
                (slash == std::string::npos ? std::string() : from.path.substr(0, slash + 1)) + ref.path;
            target.path = RemoveDotSegments(merged);
        }
        target.hasQuery = ref.hasQuery;
        target.query = ref.query;
    }
    return Join(target);
}

bool IsWebAddress(const std::string& url)
{
    const Parts parts = Split(url);
    std::string scheme = parts.scheme;
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if ((scheme != "http" && scheme != "https") || !parts.hasAuthority)
        return false;
    // The host is what follows any user information, up to a port.
    const std::size_t at = parts.authority.rfind('@');
    const std::string hostPort = at == std::string::npos ? parts.authority : parts.authority.substr(at + 1);
    return !hostPort.empty() && hostPort[0] != ':';
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) noexcept
{
    for (std::size_t i = 0; prefix[i]; ++i)
        if (i >= text.size() || static_cast<wchar_t>(std::towlower(text[i])) != prefix[i])
            return false;
    return true;
}

bool IsHttpAddress(const std::wstring& url) noexcept
{
    return StartsWithNoCase(url, L"http://") || StartsWithNoCase(url, L"https://");
}

bool IsHttpsAddress(const std::wstring& url) noexcept { return StartsWithNoCase(url, L"https:"); }

} // namespace vexa

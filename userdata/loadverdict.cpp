// The verdict on a feed's load, in words a person reads, with the precise detail after them.
#include "userdata/loadverdict.h"

#include <wininet.h>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "com/check.h"
#include "format/readerinput.h"
#include "format/urls.h"
#include "format/utf8.h"
#include "userdata/feedhealth.h"

namespace vexa {

namespace {

using State = LoadVerdict::State;
using Bound = DownloadFacts::Bound;

std::wstring Widen(const std::string& text) { return utf::FromUtf8<wchar_t>(text); }

// The host of an address, or the address itself when it has none.
std::wstring HostOf(const std::wstring& address)
{
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    if (InternetCrackUrlW(address.c_str(), 0, 0, &parts) && parts.lpszHostName && parts.dwHostNameLength)
        return std::wstring(parts.lpszHostName, parts.dwHostNameLength);
    return address;
}

// "15 s", "0.6 s".
std::wstring Seconds(DWORD ms)
{
    wchar_t text[32];
    if (ms % 1000 == 0)
        swprintf(text, 32, L"%lu s", static_cast<unsigned long>(ms / 1000));
    else
        swprintf(text, 32, L"%.1f s", ms / 1000.0);
    return text;
}

// "32 MB", "256 KB", "100 bytes".
std::wstring Size(std::size_t bytes)
{
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_wstring(bytes >> 20) + L" MB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_wstring(bytes >> 10) + L" KB";
    return std::to_wstring(bytes) + (bytes == 1 ? L" byte" : L" bytes");
}

std::wstring Http(DWORD status) { return L" (HTTP " + std::to_wstring(status) + L")"; }

// An answer other than 200 or 304, in words; an ftp server's reply shows its own code.
std::wstring StatusCause(DWORD status, DWORD ftpReply)
{
    const auto Http = [ftpReply](DWORD code) {
        return ftpReply ? L" (FTP " + std::to_wstring(ftpReply) + L")" : vexa::Http(code);
    };
    struct Known {
        DWORD status;
        const wchar_t* words;
    };
    static const Known kKnown[] = {
        {400, L"bad request"},          {401, L"asks for a sign-in"}, {403, L"access refused"},
        {404, L"not found"},            {410, L"gone for good"},      {429, L"too many requests"},
    };
    for (const Known& known : kKnown)
        if (known.status == status) return known.words + Http(status);
    if (status >= 500 && status < 600) return L"server error" + Http(status);
    if (status >= 400 && status < 500) return L"refused by the server" + Http(status);
    if (status >= 300 && status < 400) return L"redirect without a target" + Http(status);
    return L"unexpected answer" + Http(status);
}

// A transfer that got no answer.
std::wstring NoAnswerCause(const DownloadFacts& fetch, const std::wstring& address)
{
    const std::wstring host = HostOf(address);
    switch (fetch.error) {
    case ERROR_INTERNET_TIMEOUT:
        switch (fetch.bound) {
        case Bound::Connect: return L"could not connect to " + host + L" within " + Seconds(fetch.boundMs);
        case Bound::Whole: return L"no whole answer within " + Seconds(fetch.boundMs);
        case Bound::Idle: return L"no answer for " + Seconds(fetch.boundMs);
        default: return L"no answer in time";
        }
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return L"could not find " + host;
    case ERROR_INTERNET_CANNOT_CONNECT: return L"could not connect to " + host;
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET: return host + L" closed the connection without an answer";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return L"certificate not trusted: it has expired";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return L"certificate is for another host";
    case ERROR_INTERNET_INVALID_CA: return L"certificate not trusted: no trusted authority signed it";
    case ERROR_INTERNET_SEC_CERT_REVOKED: return L"certificate not trusted: it was revoked";
    case ERROR_INTERNET_SEC_CERT_REV_FAILED: return L"certificate not trusted: its revocation could not be checked";
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_INVALID_CERT: return L"certificate not valid";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR: return L"secure connection to " + host + L" failed";
    case ERROR_HTTP_REDIRECT_FAILED:
        if (fetch.bound == Bound::Redirects) return L"too many redirects";
        if (IsHttpsAddress(address) && IsHttpAddress(fetch.refusedTarget) && !IsHttpsAddress(fetch.refusedTarget))
            return L"redirected from https down to http (" + fetch.refusedTarget + L"): not followed";
        return L"redirected to an address that is not http or https: " + fetch.refusedTarget;
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME: return L"the address cannot be read";
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_MEMORY: return L"out of memory";
    case 0: return L"the download could not start";
    default: return L"download failed (error " + std::to_wstring(fetch.error) + L")";
    }
}

// A 200 whose body ended early.
std::wstring CutCause(const DownloadFacts& fetch)
{
    const std::wstring after = L" after " + Size(fetch.bodyBytes);
    switch (fetch.bound) {
    case Bound::Size: return L"larger than " + Size(fetch.bodyBytes);
    case Bound::Idle: return L"cut short: nothing came for " + Seconds(fetch.boundMs) + after;
    case Bound::Whole: return L"cut short: not whole within " + Seconds(fetch.boundMs) + after;
    default: return L"cut short" + after + L": the connection closed";
    }
}

// The media type of a Content-Type, in lower case, without its parameters.
std::wstring MediaType(const std::wstring& contentType)
{
    std::wstring type = contentType.substr(0, contentType.find(L';'));
    while (!type.empty() && std::iswspace(type.back())) type.pop_back();
    for (wchar_t& c : type) c = static_cast<wchar_t>(std::towlower(c));
    return type;
}

bool IsNotFound(HRESULT hr)
{
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
           hr == static_cast<HRESULT>(0x800C0005) /* INET_E_RESOURCE_NOT_FOUND */ ||
           hr == static_cast<HRESULT>(0x800C0006) /* INET_E_OBJECT_NOT_FOUND */;
}

bool IsUnreadableAddress(HRESULT hr)
{
    return hr == MK_E_SYNTAX || hr == static_cast<HRESULT>(0x800C0002) /* INET_E_INVALID_URL */ ||
           hr == static_cast<HRESULT>(0x800C000D) /* INET_E_UNKNOWN_PROTOCOL */ ||
           hr == static_cast<HRESULT>(0x800C0011) /* INET_E_REDIRECT_FAILED */;
}

// The reader's message is about the document's encoding.
bool MentionsEncoding(std::string message)
{
    for (char& c : message) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return message.find("encoding") != std::string::npos;
}

// "repaired: a bare & and HTML entities": what the second reading of a document changed,
// each repair in the order they are tried, and a declared encoding read as UTF-8.
std::wstring RepairNotice(unsigned repairs, const std::string& readAsUtf8)
{
    static const struct { unsigned flag; const wchar_t* words; } kWords[] = {
        {kRepairedLeadingSpace, L"text before the declaration"},
        {kRepairedControls, L"control characters"},
        {kRepairedUtf8, L"bytes not UTF-8 read as windows-1252"},
        {kRepairedAmpersand, L"a bare &"},
        {kRepairedHtmlEntity, L"HTML entities"},
        {kRepairedPrefix, L"undeclared namespace prefixes"},
    };
    std::vector<std::wstring> parts;
    for (const auto& row : kWords)
        if (repairs & row.flag) parts.push_back(row.words);
    std::wstring notice;
    for (std::size_t k = 0; k < parts.size(); ++k)
        notice += (k == 0 ? L"repaired: " : k + 1 == parts.size() ? L" and " : L", ") + parts[k];
    if (repairs & kReadLatinAsUtf8)
        notice += (notice.empty() ? L"" : L"; ") + (L"declared " + Widen(readAsUtf8) + L", read as UTF-8");
    return notice;
}

// A document that went to the reader and was not a feed.
std::wstring DocumentCause(const LoadOutcome& outcome)
{
    const DocumentFacts& doc = outcome.parse.document;
    const bool download = outcome.way == LoadOutcome::Way::Download;
    const std::wstring media = MediaType(outcome.fetch.contentType);
    // A web page by its markup, whatever its Content-Type says (a feed sent as text/html that
    // fails to parse is a broken feed).
    if (outcome.parse.pageMarkup || _stricmp(doc.root.c_str(), "html") == 0) {
        if (!download) return L"not a feed: the file is a web page";
        return L"not a feed: the server sent a web page (" + (media.empty() ? L"no content type" : media) + L")";
    }
    if (doc.errorCode == HRESULT_FROM_WIN32(ERROR_INVALID_DATA))
        return L"cannot be read: a name in its markup is too long";
    if (!outcome.parse.encoding.empty() && doc.error && doc.errorLine <= 1 && MentionsEncoding(doc.errorMessage))
        return L"encoding " + Widen(outcome.parse.encoding) + L" is not supported";
    if (download && outcome.fetch.bodyBytes == 0) return L"the server sent an empty document";
    if (doc.error) {
        std::wstring message = Widen(doc.errorMessage);
        while (!message.empty() && std::iswspace(message.back())) message.pop_back();
        return L"not valid XML: line " + std::to_wstring(doc.errorLine) + L", column " +
               std::to_wstring(doc.errorColumn) + L": " + message;
    }
    if (VEXA_FAILED(outcome.parse.readerResult)) {
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(outcome.parse.readerResult));
        return std::wstring(L"not valid XML (error ") + code + L")";
    }
    return L"not a feed: the document is <" + Widen(doc.root) + L">, not RSS or Atom";
}

// A load that did not give a feed: why, in words.
LoadVerdict JudgeFailure(const LoadOutcome& outcome, const std::wstring& address, ULONGLONG now)
{
    using Way = LoadOutcome::Way;
    using Outcome = DownloadFacts::Outcome;
    const DownloadFacts& fetch = outcome.fetch;
    LoadVerdict verdict;
    verdict.state = State::Failing;
    if (outcome.loaded) {
        verdict.cause = DocumentCause(outcome);
        return verdict;
    }
    if (outcome.way == Way::Reader) {
        if (IsNotFound(outcome.parse.readerResult))
            verdict.cause = L"file not found: " + address;
        else if (outcome.parse.readerResult == E_ACCESSDENIED)
            verdict.cause = L"the file cannot be opened: access denied";
        else if (IsUnreadableAddress(outcome.parse.readerResult))
            verdict.cause = L"the address cannot be read";
        else
            verdict.cause = DocumentCause(outcome);
        return verdict;
    }
    if (fetch.outcome == Outcome::Failed || fetch.status == 0) {
        verdict.cause = NoAnswerCause(fetch, address);
    } else if (fetch.outcome == Outcome::Cut) {
        verdict.cause = CutCause(fetch);
    } else if (fetch.status == 200) {
        verdict.cause = DocumentCause(outcome);
    } else if (fetch.status == 304) {
        verdict.cause = L"unexpected answer" + Http(304) + L" to a request without validators";
    } else {
        verdict.cause = StatusCause(fetch.status, fetch.ftpReply);
        if ((fetch.status == 429 || fetch.status == 503) && fetch.retryAfterMs) {
            verdict.state = State::Paused;
            verdict.pauseMs = fetch.retryAfterMs;
            verdict.cause += L", asked to wait until " + FormatHealthTime(now + fetch.retryAfterMs * 10000);
        }
    }
    return verdict;
}

} // namespace

LoadVerdict JudgeLoad(const LoadOutcome& outcome, const std::wstring& address, ULONGLONG now)
{
    using Way = LoadOutcome::Way;
    LoadVerdict verdict;
    const DownloadFacts& fetch = outcome.fetch;
    switch (outcome.way) {
    case Way::None:
        return verdict;
    case Way::NoReader:
        verdict.state = State::Failing;
        verdict.cause = L"no XML reader on this computer";
        return verdict;
    case Way::Reader:
    case Way::Download:
        break;
    }
    verdict.state = State::Failing;
    if (fetch.pageWithoutFeed) {
        verdict.cause = L"not a feed: a web page that advertises no feed";
        return verdict;
    }
    // The address is a web page whose advertised feed is read in its place: every line says so.
    const std::wstring advertised =
        outcome.advertisedFeed.empty() ? std::wstring()
                                       : L"web page; reading the feed it advertises: " + outcome.advertisedFeed;
    // A document read without error that holds no feed is not a loaded feed.
    if (outcome.loaded && (!outcome.parse.parsed || outcome.parse.document.container)) {
        verdict.state = State::Loaded;
        verdict.documentRead = outcome.parse.parsed;
        verdict.cause = advertised;
        auto notice = [&](const std::wstring& text) { verdict.cause += (verdict.cause.empty() ? L"" : L"; ") + text; };
        // Broken past its repairs: the entries before the fault are shown.
        if (outcome.parse.ReadInPart()) {
            const int leftOut = outcome.parse.leftOut;
            notice(L"read in part" +
                   (leftOut ? L" (" + std::to_wstring(leftOut) + (leftOut == 1 ? L" broken entry" : L" broken entries") +
                                  L" left out)"
                            : std::wstring()) +
                   L": " + DocumentCause(outcome));
        }
        if (!outcome.parse.readEncoding.empty())
            notice(L"encoding " + Widen(outcome.parse.readEncoding) + L" read through code page " +
                   std::to_wstring(outcome.parse.readCodePage));
        if (outcome.parse.repairs)
            notice(RepairNotice(outcome.parse.repairs, outcome.parse.readAsUtf8));
        if (!fetch.movedTo.empty())
            notice(L"moved permanently to " + fetch.movedTo + Http(fetch.movedStatus) +
                   L": update the address in the settings");
        // Ticks leave the feed unasked until then.
        if (fetch.freshMs)
            notice(L"fresh until " + FormatHealthTime(now + fetch.freshMs * 10000));
        return verdict;
    }
    verdict = JudgeFailure(outcome, address, now);
    if (!advertised.empty())
        verdict.cause = advertised + L"; " + verdict.cause;
    return verdict;
}

} // namespace vexa

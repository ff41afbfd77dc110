// The feed health records in the per-user registry, and the lines that describe them.
#include "userdata/feedhealth.h"

#include <cwchar>
#include <set>

#include "com/owners.h"

namespace vexa {

const wchar_t kFeedHealthKeyPath[] = L"SOFTWARE\\Vexa\\Feed Health";

namespace {

constexpr ULONGLONG kTicksPerSecond = 10000000ull;
// A value holds at most this many characters; longer ones are not read.
constexpr DWORD kMaxValueChars = 4096;
// Registry value names are at most 16383 characters.
constexpr DWORD kMaxValueName = 16383;

const wchar_t* const kStateNames[] = {L"never", L"loaded", L"failing", L"paused"};

std::wstring Cut(const std::wstring& text, std::size_t limit)
{
    return text.size() <= limit ? text : text.substr(0, limit);
}

ULONGLONG ParseCount(const std::wstring& text)
{
    ULONGLONG value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9' || value > (~0ull - 9) / 10)
            return 0;
        value = value * 10 + static_cast<ULONGLONG>(c - L'0');
    }
    return value;
}

// "name=value" lines, each ended by a NUL, the list by another.
std::wstring Serialize(const FeedHealth& r)
{
    std::wstring out;
    auto line = [&out](const wchar_t* name, const std::wstring& value) {
        // A line cannot hold a NUL; texts are cut at one.
        out += name;
        out += L'=';
        out += value.substr(0, value.find(L'\0'));
        out += L'\0';
    };
    line(L"state", kStateNames[static_cast<int>(r.state)]);
    line(L"attempt", std::to_wstring(r.lastAttempt));
    line(L"success", std::to_wstring(r.lastSuccess));
    line(L"failingSince", std::to_wstring(r.failingSince));
    line(L"retryUntil", std::to_wstring(r.retryUntil));
    line(L"entries", std::to_wstring(r.entries));
    if (r.pictures > 0) line(L"pictures", std::to_wstring(r.pictures));
    line(L"title", Cut(r.title, kMaxHealthTitle));
    line(L"cause", Cut(r.cause, kMaxHealthCause));
    line(L"feed", r.feedAddress);
    if (!r.name.empty()) line(L"name", Cut(r.name, kMaxHealthTitle));
    out += L'\0';
    return out;
}

void ParseLine(const std::wstring& line, FeedHealth& r)
{
    const std::size_t eq = line.find(L'=');
    if (eq == std::wstring::npos)
        return;
    const std::wstring name = line.substr(0, eq);
    const std::wstring value = line.substr(eq + 1);
    if (name == L"state") {
        for (int i = 0; i < 4; ++i)
            if (value == kStateNames[i]) r.state = static_cast<FeedState>(i);
    } else if (name == L"attempt") {
        r.lastAttempt = ParseCount(value);
    } else if (name == L"success") {
        r.lastSuccess = ParseCount(value);
    } else if (name == L"failingSince") {
        r.failingSince = ParseCount(value);
    } else if (name == L"retryUntil") {
        r.retryUntil = ParseCount(value);
    } else if (name == L"entries") {
        r.entries = value.empty() || value == L"-1" ? -1
                                                    : static_cast<long>(ParseCount(value) & 0x7fffffff);
    } else if (name == L"pictures") {
        r.pictures = static_cast<long>(ParseCount(value) & 0x7fffffff);
    } else if (name == L"title") {
        r.title = Cut(value, kMaxHealthTitle);
    } else if (name == L"cause") {
        r.cause = Cut(value, kMaxHealthCause);
    } else if (name == L"feed") {
        r.feedAddress = value;
    } else if (name == L"name") {
        r.name = Cut(value, kMaxHealthTitle);
    }
}

FeedHealth ReadFrom(HKEY key, const std::wstring& address)
{
    FeedHealth r;
    r.address = address;
    if (!key)
        return r;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, address.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || bytes > kMaxValueChars * sizeof(wchar_t))
        return r;
    std::wstring data(bytes / sizeof(wchar_t) + 2, L'\0');
    if (RegQueryValueExW(key, address.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(&data[0]), &bytes) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return r;
    data.resize(bytes / sizeof(wchar_t));
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find(L'\0', start);
        if (end == std::wstring::npos) end = data.size();
        if (end > start) ParseLine(data.substr(start, end - start), r);
        start = end + 1;
    }
    // A record must make sense on its own: a state that needs a time without one is Never.
    if ((r.state == FeedState::Failing && !r.failingSince) ||
        (r.state == FeedState::Loaded && !r.lastSuccess))
        r.state = FeedState::Never;
    return r;
}

unique_hkey OpenHealthKey(bool create)
{
    unique_hkey key;
    if (create)
        RegCreateKeyExW(HKEY_CURRENT_USER, kFeedHealthKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
    else
        RegOpenKeyExW(HKEY_CURRENT_USER, kFeedHealthKeyPath, 0, KEY_READ, key.put());
    return key;
}

bool SameLocalDay(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay;
}

} // namespace

bool operator==(const FeedHealth& a, const FeedHealth& b)
{
    return a.address == b.address && a.state == b.state && a.lastAttempt == b.lastAttempt &&
           a.lastSuccess == b.lastSuccess && a.failingSince == b.failingSince &&
           a.retryUntil == b.retryUntil && a.entries == b.entries && a.pictures == b.pictures && a.title == b.title &&
           a.cause == b.cause && a.feedAddress == b.feedAddress && a.name == b.name;
}

ULONGLONG HealthNow() noexcept
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return t - t % kTicksPerSecond;
}

std::vector<FeedHealth> ReadFeedHealth(const std::vector<std::wstring>& addresses)
{
    unique_hkey key = OpenHealthKey(false);
    std::vector<FeedHealth> records;
    records.reserve(addresses.size());
    for (const std::wstring& address : addresses)
        records.push_back(ReadFrom(key.get(), address));
    return records;
}

FeedHealth ReadFeedHealth(const std::wstring& address)
{
    unique_hkey key = OpenHealthKey(false);
    return ReadFrom(key.get(), address);
}

std::vector<std::wstring> FeedHealthAddresses()
{
    std::vector<std::wstring> addresses;
    unique_hkey key = OpenHealthKey(false);
    if (!key)
        return addresses;
    std::wstring name(kMaxValueName + 1, L'\0');
    for (DWORD i = 0; i < kMaxHealthRecords * 2; ++i) {
        DWORD length = kMaxValueName + 1;
        const LONG error =
            RegEnumValueW(key.get(), i, &name[0], &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS)
            break;
        if (error == ERROR_SUCCESS && length > 0)
            addresses.emplace_back(name.data(), length);
    }
    return addresses;
}

LONG WriteFeedHealth(const FeedHealth& record)
{
    if (record.address.empty() || record.address.size() > kMaxValueName ||
        record.address.find(L'\0') != std::wstring::npos)
        return ERROR_INVALID_PARAMETER;
    unique_hkey key = OpenHealthKey(true);
    if (!key)
        return ERROR_ACCESS_DENIED;
    const std::wstring data = Serialize(record);
    return RegSetValueExW(key.get(), record.address.c_str(), 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

LONG WriteFeedName(const std::wstring& address, const std::wstring& name)
{
    FeedHealth record = ReadFeedHealth(address);
    const std::wstring kept = Cut(name, kMaxHealthTitle);
    if (record.name == kept)
        return ERROR_SUCCESS;
    record.name = kept;
    return WriteFeedHealth(record);
}

std::wstring FeedDisplayName(const FeedHealth& record)
{
    return !record.title.empty() ? record.title : !record.name.empty() ? record.name : record.address;
}

LONG PruneFeedHealth(const std::vector<std::wstring>& addresses)
{
    unique_hkey key;
    LONG error = RegOpenKeyExW(HKEY_CURRENT_USER, kFeedHealthKeyPath, 0, KEY_READ | KEY_WRITE,
                               key.put());
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS)
        return error;
    const std::set<std::wstring> keep(addresses.begin(), addresses.end());
    std::vector<std::wstring> gone;
    std::wstring name(kMaxValueName + 1, L'\0');
    for (DWORD i = 0;; ++i) {
        DWORD length = kMaxValueName + 1;
        error = RegEnumValueW(key.get(), i, &name[0], &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS)
            break;
        if (error != ERROR_SUCCESS)
            return error;
        std::wstring value(name.data(), length);
        if (!keep.count(value))
            gone.push_back(std::move(value));
    }
    // Deleted after the walk: deleting while enumerating shifts the indexes.
    for (const std::wstring& value : gone) {
        error = RegDeleteValueW(key.get(), value.c_str());
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
            return error;
    }
    return ERROR_SUCCESS;
}

std::wstring FormatHealthTime(ULONGLONG utc)
{
    FILETIME ft{static_cast<DWORD>(utc), static_cast<DWORD>(utc >> 32)};
    SYSTEMTIME universal, local, today;
    if (!FileTimeToSystemTime(&ft, &universal) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return L"?";
    GetLocalTime(&today);
    static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    wchar_t text[48];
    if (SameLocalDay(local, today) || local.wMonth < 1 || local.wMonth > 12)
        swprintf(text, 48, L"%02u:%02u", local.wHour, local.wMinute);
    else if (local.wYear == today.wYear)
        swprintf(text, 48, L"%u %ls %02u:%02u", local.wDay, kMonths[local.wMonth - 1], local.wHour,
                 local.wMinute);
    else
        swprintf(text, 48, L"%u %ls %u %02u:%02u", local.wDay, kMonths[local.wMonth - 1],
                 local.wYear, local.wHour, local.wMinute);
    return text;
}

std::wstring DescribeFeedHealth(const FeedHealth& r)
{
    std::wstring line;
    switch (r.state) {
    case FeedState::Never:
        return L"Not loaded yet";
    case FeedState::Loaded:
        line = L"Loaded " + FormatHealthTime(r.lastSuccess);
        if (r.entries >= 0)
            line += L", " + std::to_wstring(r.entries) + (r.entries == 1 ? L" entry" : L" entries");
        if (r.pictures > 0)
            line += L", " + std::to_wstring(r.pictures) + (r.pictures == 1 ? L" picture" : L" pictures");
        if (!r.cause.empty())
            line += L"; " + r.cause;
        return line;
    case FeedState::Failing:
        return L"Failing since " + FormatHealthTime(r.failingSince) + L": " + r.cause;
    case FeedState::Paused:
        line = L"Paused until " + FormatHealthTime(r.retryUntil);
        if (!r.cause.empty())
            line += L": " + r.cause;
        return line;
    }
    return line;
}

std::wstring SummarizeFeedHealth(const std::vector<FeedHealth>& records)
{
    std::size_t failing = 0, never = 0;
    for (const FeedHealth& r : records) {
        if (r.state == FeedState::Failing || r.state == FeedState::Paused) ++failing;
        if (r.state == FeedState::Never) ++never;
    }
    const std::size_t all = records.size();
    const std::wstring feeds = all == 1 ? L" feed" : L" feeds";
    if (all == 0)
        return L"No feeds in the list";
    if (failing)
        return all == 1 ? std::wstring(L"The feed is failing")
                        : std::to_wstring(failing) + L" of " + std::to_wstring(all) + feeds + L" failing";
    if (never == all)
        return all == 1 ? L"1 feed, not loaded yet" : std::to_wstring(all) + L" feeds, not loaded yet";
    if (never)
        return std::to_wstring(all - never) + L" of " + std::to_wstring(all) + feeds + L" loaded";
    return all == 1 ? L"The feed is loaded" : L"All " + std::to_wstring(all) + L" feeds loaded";
}

std::wstring FeedHealthLine(const std::vector<FeedHealth>& known, const std::vector<std::wstring>& list,
                            int selected)
{
    auto healthOf = [&known](const std::wstring& address) {
        for (const FeedHealth& record : known)
            if (record.address == address) return record;
        FeedHealth none;
        none.address = address;
        return none;
    };
    if (selected >= 0 && static_cast<std::size_t>(selected) < list.size())
        return DescribeFeedHealth(healthOf(list[static_cast<std::size_t>(selected)]));
    std::vector<FeedHealth> records;
    for (const std::wstring& address : list)
        records.push_back(healthOf(address));
    return SummarizeFeedHealth(records);
}

} // namespace vexa

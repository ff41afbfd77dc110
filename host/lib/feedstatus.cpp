#include "host/lib/feedstatus.h"

#include <windows.h>

#include <algorithm>

namespace host {

std::vector<vexa::FeedHealth> ReadFeedStatus()
{
    std::vector<std::wstring> addresses = vexa::FeedHealthAddresses();
    // Case-insensitive, as a sorted list box orders its strings.
    std::stable_sort(addresses.begin(), addresses.end(), [](const std::wstring& a, const std::wstring& b) {
        return lstrcmpiW(a.c_str(), b.c_str()) < 0;
    });
    return vexa::ReadFeedHealth(addresses);
}

bool IsFailing(const vexa::FeedHealth& record)
{
    return record.state == vexa::FeedState::Failing || record.state == vexa::FeedState::Paused;
}

std::wstring FailingFeedsText(const std::vector<vexa::FeedHealth>& records)
{
    const std::size_t failing =
        static_cast<std::size_t>(std::count_if(records.begin(), records.end(), IsFailing));
    if (failing == 0)
        return std::wstring();
    std::wstring text = vexa::SummarizeFeedHealth(records);
    std::size_t listed = 0;
    for (const vexa::FeedHealth& record : records) {
        if (!IsFailing(record)) continue;
        if (listed == kMaxTipFeeds) {
            text += L"\nand " + std::to_wstring(failing - listed) + L" more";
            break;
        }
        text += L"\n" + vexa::FeedDisplayName(record) + L" \u2014 " +
                vexa::DescribeFeedHealth(record);
        ++listed;
    }
    return text;
}

std::wstring FeedStatusLine(const vexa::FeedHealth& record)
{
    static const wchar_t* const kStates[] = {L"never  ", L"loaded ", L"failing", L"paused "};
    std::wstring line = kStates[static_cast<int>(record.state)];
    line += L"  " + record.address + L"  last success ";
    line += record.lastSuccess ? vexa::FormatHealthTime(record.lastSuccess) : L"never";
    line += record.entries < 0 ? std::wstring(L", entries unknown")
                               : L", " + std::to_wstring(record.entries) +
                                     (record.entries == 1 ? L" entry" : L" entries");
    if (record.state == vexa::FeedState::Paused && record.retryUntil)
        line += L", paused until " + vexa::FormatHealthTime(record.retryUntil);
    if (!record.cause.empty())
        line += L": " + record.cause;
    return line;
}

} // namespace host

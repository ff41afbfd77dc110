// The feed health records the plugin keeps, and their writes.
#include "userdata/healthbook.h"

#include <algorithm>
#include <iterator>
#include <set>

#include "com/check.h"
#include "format/utf8.h"

namespace vexa {

namespace {

constexpr ULONGLONG kTicksPerMinute = 60ull * 10000000;
constexpr ULONGLONG kTicksPerSecond = 10000000;

ULONGLONG ToMinute(ULONGLONG t) { return t - t % kTicksPerMinute; }

// A text as the record keeps it: white space at either end dropped, cut to `limit`.
std::wstring Kept(const std::wstring& text, std::size_t limit)
{
    const std::size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) return std::wstring();
    const std::size_t last = text.find_last_not_of(L" \t\r\n");
    std::wstring kept = text.substr(first, std::min(last + 1 - first, limit));
    return kept.substr(0, kept.find(L'\0'));
}

bool IsFailing(FeedState state) { return state == FeedState::Failing || state == FeedState::Paused; }

} // namespace

void FeedHealthBook::BeginRefresh(const std::vector<std::wstring>& addresses)
{
    std::vector<std::wstring> listed;
    std::set<std::wstring> seen;
    for (const std::wstring& address : addresses) {
        if (listed.size() == kMaxHealthRecords) break;
        if (!address.empty() && seen.insert(address).second) listed.push_back(address);
    }
    if (listed == m_listed && !m_listed.empty()) return;
    // A changed list comes from the settings page, which may have named feeds it imported:
    // the book's records take those names.
    for (const std::wstring& address : listed) {
        auto known = m_stored.find(address);
        if (known == m_stored.end())
            m_stored.emplace(address, ReadFeedHealth(address));
        else
            known->second.name = ReadFeedHealth(address).name;
    }
    const std::set<std::wstring> keep(listed.begin(), listed.end());
    for (auto it = m_stored.begin(); it != m_stored.end();)
        it = keep.count(it->first) ? std::next(it) : m_stored.erase(it);
    m_listed = std::move(listed);
    const LONG error = PruneFeedHealth(m_listed);
    VEXA_VERIFY(error == ERROR_SUCCESS);
}

void FeedHealthBook::Record(const std::wstring& address, const LoadOutcome& outcome, ULONGLONG now)
{
    Apply(address, JudgeLoad(outcome, address, now), &outcome.parse.document, outcome.advertisedFeed, now);
}

void FeedHealthBook::RecordUnreadable(const std::wstring& address, ULONGLONG now)
{
    LoadVerdict verdict;
    verdict.state = LoadVerdict::State::Failing;
    verdict.cause = L"the address cannot be read";
    Apply(address, verdict, nullptr, std::wstring(), now);
}

void FeedHealthBook::RecordPictures(const std::wstring& address, long pictures)
{
    auto found = m_stored.find(address);
    // A feed without pictures keeps a record without the count.
    if (found == m_stored.end() || found->second.state != FeedState::Loaded ||
        std::max(found->second.pictures, 0L) == pictures)
        return;
    FeedHealth record = found->second;
    record.pictures = pictures;
    if (VEXA_VERIFY(WriteFeedHealth(record) == ERROR_SUCCESS))
        found->second = std::move(record);
}

const FeedHealth* FeedHealthBook::Find(const std::wstring& address) const
{
    auto found = m_stored.find(address);
    return found != m_stored.end() ? &found->second : nullptr;
}

void FeedHealthBook::Apply(const std::wstring& address, const LoadVerdict& verdict,
                           const DocumentFacts* document, const std::wstring& feedAddress, ULONGLONG now)
{
    using State = LoadVerdict::State;
    auto found = m_stored.find(address);
    if (found == m_stored.end() || verdict.state == State::Unchanged) return;
    const FeedHealth& stored = found->second;
    FeedHealth record = stored;
    record.lastAttempt = ToMinute(now);
    record.cause = Kept(verdict.cause, kMaxHealthCause);
    record.feedAddress = feedAddress;
    if (verdict.state == State::Loaded) {
        record.state = FeedState::Loaded;
        record.lastSuccess = ToMinute(now);
        record.failingSince = 0;
        record.retryUntil = 0;
        if (verdict.documentRead && document) {
            record.entries = document->entries;
            record.title = Kept(utf::FromUtf8<wchar_t>(document->title), kMaxHealthTitle);
            m_lastRead[address] = LastRead{record.entries, record.title};
        } else if (record.entries < 0) {
            // Unchanged since a document that this run read: its count still holds.
            auto read = m_lastRead.find(address);
            if (read != m_lastRead.end()) {
                record.entries = read->second.entries;
                if (record.title.empty()) record.title = read->second.title;
            }
        }
    } else {
        // The first failure of a run sets the time it has been failing since.
        if (!IsFailing(stored.state) || !stored.failingSince) record.failingSince = now - now % kTicksPerSecond;
        record.state = verdict.state == State::Paused ? FeedState::Paused : FeedState::Failing;
        record.retryUntil = verdict.state == State::Paused
                                ? now + verdict.pauseMs * 10000 - (now + verdict.pauseMs * 10000) % kTicksPerSecond
                                : 0;
    }
    if (record == stored) return;
    // A write that fails is tried again at the feed's next load.
    if (VEXA_VERIFY(WriteFeedHealth(record) == ERROR_SUCCESS))
        found->second = std::move(record);
}

} // namespace vexa

// The health of each feed address: whether its last load worked, since when it fails and
// why, in words a person reads. The plugin keeps one record per address of its list and
// writes them under a key of Vexa's own in the per-user registry, only when one changes;
// the settings page and the host read them from there. Nothing here touches the feed list.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace vexa {

enum class FeedState {
    Never,   // not loaded yet
    Loaded,  // the last load worked
    Failing, // the last load failed; `cause` says why
    Paused,  // the server asked not to be asked before `retryUntil` (a Retry-After)
};

// Times are UTC FILETIMEs as 64-bit counts (100 ns since 1601); 0 means never.
struct FeedHealth {
    std::wstring address;      // the address as the feed list holds it
    FeedState state = FeedState::Never;
    ULONGLONG lastAttempt = 0;
    ULONGLONG lastSuccess = 0;
    ULONGLONG failingSince = 0; // the first failure of the current run of failures
    ULONGLONG retryUntil = 0;   // Paused: when the server may be asked again
    long entries = -1;          // entries in the last document read; -1 when unknown
    long pictures = -1;         // pictures of its listed entries that are kept; -1 when unknown
                                // (stored only when there are some)
    std::wstring title;         // the feed's own title (channel or feed title); may be empty
    std::wstring cause;         // why the last load failed, or a notice on a loaded feed
                                // (a permanent redirect, a web page read for its feed)
    std::wstring feedAddress;   // the feed that a web page at `address` advertises, when
                                // discovery read one; empty otherwise
    std::wstring name;          // the name a list file gave the feed when it was imported;
                                // `title`, once known, wins over it

    friend bool operator==(const FeedHealth& a, const FeedHealth& b);
    friend bool operator!=(const FeedHealth& a, const FeedHealth& b) { return !(a == b); }
};

// HKEY_CURRENT_USER\<kFeedHealthKeyPath>: one REG_MULTI_SZ value per address, named by the
// address, holding "name=value" lines.
extern const wchar_t kFeedHealthKeyPath[];
// Stored texts are cut to these lengths (characters), so the key stays bounded.
constexpr std::size_t kMaxHealthTitle = 200;
constexpr std::size_t kMaxHealthCause = 400;
constexpr std::size_t kMaxHealthRecords = 100;

// A time as the records keep it: now, rounded down to the whole second.
ULONGLONG HealthNow() noexcept;

// Every record in the key, in the order of `addresses` (an address without a record gets a
// record in state Never). Values of the wrong type or shape are read as Never.
std::vector<FeedHealth> ReadFeedHealth(const std::vector<std::wstring>& addresses);
// One record; state Never when there is none.
FeedHealth ReadFeedHealth(const std::wstring& address);
// The addresses that have a record in the key, in the key's order, at most
// kMaxHealthRecords * 2 (a reader without the feed list, such as the host, starts here).
std::vector<std::wstring> FeedHealthAddresses();
// Writes one record (its texts cut to the bounds). Returns a Win32 error code.
LONG WriteFeedHealth(const FeedHealth& record);
// Gives the record of `address` the name `name` (cut to kMaxHealthTitle), keeping the rest of
// it; a record is made when there is none. Returns a Win32 error code.
LONG WriteFeedName(const std::wstring& address, const std::wstring& name);
// What a person calls the feed: its own title, else the name it was imported with, else its
// address.
std::wstring FeedDisplayName(const FeedHealth& record);
// Deletes the records of addresses not in `addresses`. Returns a Win32 error code.
LONG PruneFeedHealth(const std::vector<std::wstring>& addresses);

// The line that describes one record, in the user's local time:
//   "Not loaded yet"
//   "Loaded 14:02, 20 entries"            ("Loaded 14:02" when the count is unknown)
//   "Loaded 14:02, 12 entries, 9 pictures" (when some of its entries' pictures are kept)
//   "Loaded 14:02, 20 entries; <notice>"  (a loaded record with a notice in `cause`)
//   "Failing since 09:12: <cause>"
//   "Paused until 14:05: <cause>"
// A time not of today carries its date: "Failing since 3 Dec 09:12: ...".
std::wstring DescribeFeedHealth(const FeedHealth& record);
// "2 of 14 feeds failing" (paused ones count as failing), "All 14 feeds loaded",
// "1 feed, not loaded yet" and the like, for a list of records.
std::wstring SummarizeFeedHealth(const std::vector<FeedHealth>& records);
// The settings page's line for its list: the record of list[selected], or the summary of the
// whole list when selected is not an index into it. An address without a record in `known`
// (added since the records were read) is not loaded yet.
std::wstring FeedHealthLine(const std::vector<FeedHealth>& known, const std::vector<std::wstring>& list,
                            int selected);
// A local time as the lines show it: "14:02", or "3 Dec 14:02" when not of today.
std::wstring FormatHealthTime(ULONGLONG utc);

} // namespace vexa

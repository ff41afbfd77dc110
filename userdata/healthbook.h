// The plugin's book of feed health records: one record per address of the feed list (the
// first kMaxHealthRecords addresses), kept on the host's thread and written to the registry
// only when a record changes. The times of the last attempt and the last success are kept to
// the minute, the precision the lines show, so an unchanged feed's record is rewritten at
// most once a minute, not at every tick.
#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

#include "userdata/loadverdict.h"
#include "userdata/feedhealth.h"

namespace vexa {

class FeedHealthBook {
public:
    // Before the loads of a refresh: the feed list as it stands. The records of addresses
    // new to the book are read from the registry (a run of failures goes on across a
    // restart); those of addresses no longer listed are dropped from the book and the key.
    void BeginRefresh(const std::vector<std::wstring>& addresses);
    // A load of `address` ended as `outcome` says, at `now` (a FILETIME count).
    void Record(const std::wstring& address, const LoadOutcome& outcome, ULONGLONG now);
    // An address that cannot even be turned into a request.
    void RecordUnreadable(const std::wstring& address, ULONGLONG now);
    // After a load of `address` that succeeded: how many of its entries' pictures are kept.
    // Pictures never make a feed failing.
    void RecordPictures(const std::wstring& address, long pictures);

    // The record of an address as written; null when the book keeps none.
    const FeedHealth* Find(const std::wstring& address) const;

private:
    // `feedAddress`: the feed that a web page at `address` advertises, read in its place.
    void Apply(const std::wstring& address, const LoadVerdict& verdict, const DocumentFacts* document,
               const std::wstring& feedAddress, ULONGLONG now);

    std::vector<std::wstring> m_listed;         // the addresses with a record, in list order
    std::map<std::wstring, FeedHealth> m_stored; // each record as the registry holds it
    // Per address, the entries and title of the last document read in this run, kept when
    // the record goes: a record made anew after an unchanged answer (HTTP 304) says them.
    struct LastRead {
        long entries = -1;
        std::wstring title;
    };
    std::map<std::wstring, LastRead> m_lastRead;
};

} // namespace vexa

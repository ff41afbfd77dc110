// The verdict on a feed's load that a person reads: loaded, failing or paused, with the cause
// in plain words and the precise detail.
#pragma once
#include <windows.h>
#include <string>

#include "userdata/loadoutcome.h"

namespace vexa {

struct LoadVerdict {
    enum class State {
        Unchanged, // nothing new to say (a load held back by a pause)
        Loaded,
        Failing,
        Paused,
    };
    State state = State::Unchanged;
    bool documentRead = false;  // Loaded from a new document: its entries and title count
    std::wstring cause;         // Failing and Paused: why; Loaded: a notice, or empty
    ULONGLONG pauseMs = 0;      // Paused: how long the server asked to wait
};

// The verdict on a load of `address` (as the feed list holds it); `now` is a FILETIME count
// for the "asked to wait until" time.
LoadVerdict JudgeLoad(const LoadOutcome& outcome, const std::wstring& address, ULONGLONG now);

} // namespace vexa

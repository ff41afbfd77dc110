// One address of the feed list, converted once on its way from the list to the wire.
#pragma once
#include <string>

namespace vexa {

struct FeedAddress {
    std::wstring listed; // as the feed list holds it: the key of its health record
    std::string key;     // UTF-8, up to its first NUL: the key of the store, the policy and late jobs
    std::wstring wire;   // as a download sends it: its first 999 characters, percent-encoded

    FeedAddress() = default;
    // An address given as UTF-8 (a single load; its listed form is the same text widened).
    // Implicit: such an address is its text.
    FeedAddress(const std::string& utf8);
    // An address as the feed list holds it; false when it cannot even be turned into a key.
    static bool FromList(const std::wstring& listed, FeedAddress& address);

    bool operator==(const FeedAddress& other) const noexcept { return key == other.key; }
};

} // namespace vexa

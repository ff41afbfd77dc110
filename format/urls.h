// Resolution of a relative reference against a base address (the rules of RFC 3986, 5.2),
// for the links of feeds that give them relative to the feed or to an xml:base. Plain C++.
#pragma once
#include <string>

namespace vexa {

// The address that `reference` names when read relative to `base`. An absolute reference
// (one with a scheme) is returned as it is; so is any reference when the base has no scheme.
std::string ResolveUrl(const std::string& base, const std::string& reference);

// True for an absolute http or https address (scheme in any letter case) with a host.
bool IsWebAddress(const std::string& url);

} // namespace vexa

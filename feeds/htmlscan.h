// A small scanner of HTML for the feeds a web page advertises in its head:
// <link rel="alternate" type="application/rss+xml|application/atom+xml" href="...">. It reads
// markup only (it never runs anything and never fetches anything), and only the first
// kPageScanLimit bytes of a page. Plain C++, no platform calls.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace vexa {

constexpr std::size_t kPageScanLimit = 512 * 1024;

// The feed addresses that the page at `pageUrl` advertises in its head, in document order,
// resolved against the page's address and its <base href>: absolute http or https addresses
// (UTF-8, as the page wrote them), nothing else.
std::vector<std::string> FindAdvertisedFeeds(const char* data, std::size_t size, const std::string& pageUrl);

// Whether an answer is a web page rather than a feed: an HTML content type
// (text/html, application/xhtml+xml), or a missing or non-XML one with a body that starts
// like HTML after white space and a byte order mark. A body that starts like a feed
// (<rss, <feed, <rdf:RDF) is never a page, whatever its type says.
bool IsWebPage(const std::string& contentType, const char* data, std::size_t size);

} // namespace vexa

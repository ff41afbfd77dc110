// A small scanner of HTML for the feeds a web page advertises:
// <link rel="alternate" type="application/rss+xml|application/atom+xml" href="..."> in its head
// or, as some sites place them, in its body. It reads markup only (it never runs anything and
// never fetches anything), and only the first kPageScanLimit bytes of a page. Plain C++, no
// platform calls.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace vexa {

constexpr std::size_t kPageScanLimit = 512 * 1024;

// The feed addresses that the page at `pageUrl` advertises, in document order (those of the
// head first), resolved against the page's address and its <base href>: absolute http or
// https addresses (UTF-8, as the page wrote them), nothing else.
std::vector<std::string> FindAdvertisedFeeds(const char* data, std::size_t size, const std::string& pageUrl);

// Whether a body is a web page rather than a feed, whatever its Content-Type says: its first
// element is <html> or <head>, or one of the head's own (<meta>, <link>, <title>, <base>,
// <script>, <style>: HTML5 lets a page start with them), or its doctype is HTML's. White space, byte order marks
// (UTF-8 or UTF-16; UTF-16 also without one), comments and processing instructions before
// it do not count.
bool IsWebPage(const char* data, std::size_t size);

} // namespace vexa

// Builds small RSS documents for tests.
#pragma once
#include <cstdio>
#include <string>

namespace vexatest {

inline std::string XmlEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// One <item>; empty texts leave their element out. Texts are escaped.
inline std::string RssEntry(const std::string& title, const std::string& link = std::string(),
                            const std::string& description = std::string(),
                            const std::string& extra = std::string())
{
    std::string out = "<item>";
    if (!title.empty())
        out += "<title>" + XmlEscape(title) + "</title>";
    if (!link.empty())
        out += "<link>" + XmlEscape(link) + "</link>";
    if (!description.empty())
        out += "<description>" + XmlEscape(description) + "</description>";
    return out + extra + "</item>\n";
}

// An RSS 2.0 document: `channelBody` goes inside <channel>, `afterChannel` after it.
inline std::string RssDocument(const std::string& channelBody,
                               const std::string& afterChannel = std::string())
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\">\n<channel>\n" +
           channelBody + "</channel>\n" + afterChannel + "</rss>\n";
}

// A feed of `count` entries titled "Entry 00000", "Entry 00001", ... with a link and a
// description of about `descriptionBytes` bytes each.
inline std::string LargeFeed(int count, std::size_t descriptionBytes = 300)
{
    std::string body = "<title>Large feed</title><link>http://example.invalid/</link>\n";
    body.reserve(count * (descriptionBytes + 120));
    std::string filler;
    while (filler.size() < descriptionBytes)
        filler += "Lorem ipsum dolor sit amet, consectetur adipiscing elit. ";
    filler.resize(descriptionBytes);
    char title[32];
    for (int i = 0; i < count; ++i) {
        std::snprintf(title, sizeof title, "Entry %05d", i);
        body += RssEntry(title, std::string("http://example.invalid/entries/") + (title + 6), filler);
    }
    return RssDocument(body);
}

} // namespace vexatest

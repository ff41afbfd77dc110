// Test helpers for OPML: a document's departures from the OPML 2.0 rules, as the real XML
// reader sees it, and small document builders.
#pragma once
#include <string>
#include <vector>

namespace vexatest {

// Empty when `bytes` is an OPML 2.0 document in UTF-8 as other readers expect it: the XML
// declaration, <opml version="2.0"> with a head (title, an RFC 822 dateCreated) and then a
// body, every outline with a text, every type="rss" outline with an xmlUrl. Otherwise what
// breaks the rules.
std::string OpmlRuleViolations(const std::string& bytes);

// An OPML document around `body` (outlines as markup).
std::string OpmlDocument(const std::string& body, const char* version = "2.0");

// Writes `bytes` to a fresh file in the temporary folder and gives its path.
std::wstring TempFileWith(const std::string& bytes, const wchar_t* name);
std::string ReadWholeFile(const std::wstring& path);

} // namespace vexatest

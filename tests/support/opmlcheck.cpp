#include "tests/support/opmlcheck.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "feeds/xmlparser.h"

namespace vexatest {

namespace {

struct RuleCheck : vexa::IXmlParserCallback {
    std::string failures, open, headText;
    std::vector<std::string> topLevel, headChildren;
    std::string dateCreated;
    void Fail(const std::string& what) { failures += what + "; "; }
    const std::string* Find(const vexa::XmlElement& e, const char* name)
    {
        for (const auto& a : e.attributes)
            if (a.first == name) return &a.second;
        return nullptr;
    }
    void OnStartElement(const vexa::XmlElement& e) override
    {
        open = e.name;
        const std::string* version = Find(e, "version");
        if (e.depth == 1 && (e.name != "opml" || !version || *version != "2.0"))
            Fail("document element is not <opml version=\"2.0\">");
        if (e.depth == 2) topLevel.push_back(e.name);
        if (e.depth == 3 && topLevel.back() == "head") headChildren.push_back(e.name);
        if (e.name == "outline") {
            const std::string* text = Find(e, "text");
            const std::string* type = Find(e, "type");
            if (!text) Fail("an outline without text");
            if (type && *type == "rss" && !Find(e, "xmlUrl")) Fail("an rss outline without xmlUrl");
        }
    }
    void OnCharacters(const std::string& text, int) override
    {
        if (open == "dateCreated") dateCreated = text;
    }
    void OnEndElement(const vexa::XmlElement&) override { open.clear(); }
    void OnError(int line, int column, const std::string& message, HRESULT) override
    {
        Fail("not well-formed at " + std::to_string(line) + ":" + std::to_string(column) + ": " + message);
    }
    bool IsAborted(const vexa::XmlElement&) override { return false; }
};

} // namespace

std::string OpmlRuleViolations(const std::string& bytes)
{
    RuleCheck check;
    if (bytes.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0) != 0) check.Fail("no XML declaration for UTF-8");
    vexa::CXmlParser parser;
    parser.SetCallback(&check);
    if (!parser.ParseBytes(bytes.data(), bytes.size())) check.Fail("the reader failed");
    if (check.topLevel != std::vector<std::string>{"head", "body"}) check.Fail("not a head and then a body");
    if (check.headChildren != std::vector<std::string>{"title", "dateCreated"}) check.Fail("head lacks title or dateCreated");
    char day[4], month[4], zone[4];
    int d, y, h, m, s, n = 0;
    if (std::sscanf(check.dateCreated.c_str(), "%3s, %d %3s %d %d:%d:%d %3s%n", day, &d, month, &y, &h, &m, &s, zone, &n) != 8 ||
        n != static_cast<int>(check.dateCreated.size()) || std::string(zone) != "GMT")
        check.Fail("dateCreated is not an RFC 822 date: " + check.dateCreated);
    return check.failures;
}

std::string OpmlDocument(const std::string& body, const char* version)
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<opml version=\"") + version +
           "\"><head><title>Subscriptions</title></head><body>" + body + "</body></opml>";
}

std::wstring TempFileWith(const std::string& bytes, const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + name;
    std::ofstream(path.c_str(), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string ReadWholeFile(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace vexatest

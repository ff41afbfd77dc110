#include "format/opml.h"

#include <cstdio>

#include "format/utf8.h"
#include "format/xmlparser.h"

namespace vexa {

namespace {

bool SameName(const std::string& a, const char* b)
{
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return i == a.size() && !b[i];
}

const std::string* Attribute(const XmlElement& element, const char* name)
{
    for (const auto& pair : element.attributes)
        if (SameName(pair.first, name))
            return &pair.second;
    return nullptr;
}

std::string AttributeText(const XmlElement& element, const char* name)
{
    const std::string* value = Attribute(element, name);
    return value ? *value : std::string();
}

// Whether XML 1.0 can carry the character at all (the Char production, surrogates aside:
// decoding never yields one).
bool XmlCanCarry(char32_t c)
{
    if (c < 0x20)
        return c == 0x9 || c == 0xA || c == 0xD;
    return c != 0xFFFE && c != 0xFFFF;
}

// Decodes `value` and hands each character, made carriable, to `put`.
template <typename Put>
void ForEachCarriable(const std::string& value, Put put)
{
    std::size_t i = 0;
    while (i < value.size()) {
        char32_t c = utf::DecodeOne(value.data(), value.size(), i);
        put(XmlCanCarry(c) ? c : utf::kReplacement);
    }
}

// An attribute value between double quotes: markup characters as entities, and tab, line
// feed and carriage return as character references, which attribute-value normalisation
// leaves alone (written raw, each would be read back as a space).
void AppendAttributeValue(std::string& out, const std::string& value)
{
    ForEachCarriable(value, [&out](char32_t c) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case 0x9: out += "&#9;"; break;
        case 0xA: out += "&#10;"; break;
        case 0xD: out += "&#13;"; break;
        default: utf::AppendCodePoint(out, c); break;
        }
    });
}

void AppendAttribute(std::string& out, const char* name, const std::string& value)
{
    out += ' ';
    out += name;
    out += "=\"";
    AppendAttributeValue(out, value);
    out += '"';
}

// Element text: the same escapes serve (a quote is harmless there).
void AppendElement(std::string& out, const char* name, const std::string& value)
{
    out += "    <";
    out += name;
    out += '>';
    AppendAttributeValue(out, value);
    out += "</";
    out += name;
    out += ">\n";
}

} // namespace

// ---- Reading ------------------------------------------------------------------------------

void OpmlRules::Reset()
{
    *this = OpmlRules();
}

OpmlRules::Outcome OpmlRules::Result(bool parsed) const
{
    if (m_rootSeen && !m_isOpml)
        return Outcome::NotOpml;
    if (!parsed || m_error || !m_rootSeen)
        return Outcome::Malformed;
    return Outcome::Read;
}

void OpmlRules::OnStartElement(const XmlElement& element)
{
    if (element.depth == 1) {
        m_rootSeen = true;
        m_isOpml = SameName(element.name, "opml");
        return;
    }
    if (!m_isOpml)
        return;
    if (m_bodyDepth == 0) {
        if (element.depth == 2 && SameName(element.name, "body"))
            m_bodyDepth = element.depth;
        return;
    }
    if (!SameName(element.name, "outline"))
        return;
    const std::string* xmlUrl = Attribute(element, "xmlUrl");
    if (!xmlUrl || xmlUrl->empty())
        return;
    OpmlOutline outline;
    outline.xmlUrl = *xmlUrl;
    outline.text = AttributeText(element, "text");
    outline.title = AttributeText(element, "title");
    outline.htmlUrl = AttributeText(element, "htmlUrl");
    m_outlines.push_back(std::move(outline));
}

void OpmlRules::OnCharacters(std::string_view, int) {}

void OpmlRules::OnEndElement(const XmlElement& element)
{
    // The body's end tag comes back at the depth of its parent.
    if (m_bodyDepth != 0 && element.depth == m_bodyDepth - 1)
        m_bodyDepth = 0;
}

void OpmlRules::OnError(int line, int column, const std::string& message, HRESULT)
{
    if (m_error)
        return;
    m_error = true;
    m_errorLine = line;
    m_errorColumn = column;
    m_errorMessage = message;
}

bool OpmlRules::IsAborted(const XmlElement& element)
{
    // Another kind of document is not read further.
    return element.isStart && element.depth == 1 && !m_isOpml;
}

OpmlReadResult ReadOpml(const char* data, std::size_t size)
{
    OpmlReadResult result;
    OpmlRules rules;
    CXmlParser parser;
    if (!parser.IsReady()) {
        result.errorMessage = "the XML reader is not available";
        return result;
    }
    parser.SetAttributeValueLimit(kOpmlValueLimit);
    parser.SetCallback(&rules);
    const bool parsed = parser.ParseBytes(data, size);
    parser.SetCallback(nullptr);
    result.outcome = rules.Result(parsed);
    result.errorLine = rules.ErrorLine();
    result.errorColumn = rules.ErrorColumn();
    result.errorMessage = rules.ErrorMessage();
    if (result.outcome == OpmlRules::Outcome::Read)
        result.outlines = rules.Outlines();
    return result;
}

// ---- Writing ------------------------------------------------------------------------------

std::string OpmlWritableText(const std::string& value)
{
    std::string out;
    ForEachCarriable(value, [&out](char32_t c) { utf::AppendCodePoint(out, c); });
    return out;
}

std::string WriteOpml(const std::string& title, const std::string& dateCreated,
                      const std::vector<OpmlOutline>& outlines)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<opml version=\"2.0\">\n  <head>\n";
    AppendElement(out, "title", title);
    AppendElement(out, "dateCreated", dateCreated);
    out += "  </head>\n  <body>\n";
    for (const OpmlOutline& outline : outlines) {
        out += "    <outline";
        AppendAttribute(out, "text", outline.text);
        AppendAttribute(out, "title", outline.title);
        out += " type=\"rss\"";
        AppendAttribute(out, "xmlUrl", outline.xmlUrl);
        if (!outline.htmlUrl.empty())
            AppendAttribute(out, "htmlUrl", outline.htmlUrl);
        out += "/>\n";
    }
    out += "  </body>\n</opml>\n";
    return out;
}

std::string Rfc822Date(int year, int month, int day, int dayOfWeek, int hour, int minute, int second)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[(dayOfWeek % 7 + 7) % 7],
                  day, months[((month - 1) % 12 + 12) % 12], year, hour, minute, second);
    return text;
}

} // namespace vexa

// The events of an XML document as the reader wrapper hands them on: element records and
// the callback interface, in narrow text (UTF-8). No platform headers.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The error type as the platform declares it (a repeated identical typedef is allowed), so
// that the parsing rules build without the platform's headers.
#ifdef _WIN32
typedef long HRESULT;
#else
#include <cstdint>
typedef std::int32_t HRESULT;
#endif

namespace vexa {

struct XmlElement {
    bool isStart = false;
    std::string name;   // local name
    std::string ns;     // namespace URI of a start tag (empty without one, and for end tags)
    int depth = 0;
    std::vector<std::pair<std::string, std::string>> attributes; // empty for end tags
};

// Whether a text is `name`: compared letter by letter as they come (most names differ at
// once), with no length measured first. Every element of a feed is asked this many times.
inline bool IsName(const std::string& text, const char* name) noexcept
{
    std::size_t i = 0;
    for (; name[i]; ++i)
        if (i == text.size() || text[i] != name[i])
            return false;
    return i == text.size();
}

// The value of the element's attribute whose local name is `name`; null when it has none.
inline const std::string* AttributeOf(const XmlElement& element, const char* name) noexcept
{
    for (const auto& attribute : element.attributes)
        if (IsName(attribute.first, name))
            return &attribute.second;
    return nullptr;
}

// Whether the element has the attribute `name` and its value is `value`.
inline bool AttributeIs(const XmlElement& element, const char* name, const char* value) noexcept
{
    const std::string* found = AttributeOf(element, name);
    return found && IsName(*found, value);
}

class IXmlParserCallback {
public:
    virtual void OnStartElement(const XmlElement& element) = 0;
    // A run of text; its bytes are the caller's and last only through the call.
    virtual void OnCharacters(std::string_view text, int depth) = 0;
    virtual void OnEndElement(const XmlElement& element) = 0;
    virtual void OnError(int line, int column, const std::string& message, HRESULT code) = 0;
    virtual bool IsAborted(const XmlElement& element) = 0;

protected:
    ~IXmlParserCallback() = default;
};

} // namespace vexa

#include "format/entrypicture.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "format/bytescan.h"
#include "format/urls.h"

namespace vexa {

namespace {

bool IsMediaNamespace(const std::string& ns)
{
    static constexpr char kMedia[] = "http://search.yahoo.com/mrss";
    return ns.size() >= sizeof kMedia - 1 && std::memcmp(ns.data(), kMedia, sizeof kMedia - 1) == 0;
}

bool IsImageType(const std::string* type)
{
    return type && type->compare(0, 6, "image/") == 0 && type->find("svg") == std::string::npos;
}

// A size attribute's number; -1 when absent or not a number.
int SizeOf(const std::string* value)
{
    if (!value || value->empty() || !std::isdigit(static_cast<unsigned char>((*value)[0])))
        return -1;
    const long n = std::strtol(value->c_str(), nullptr, 10);
    return n > 100000 ? 100000 : static_cast<int>(n);
}

bool NoCaseAt(const std::string& text, std::size_t at, const char* word)
{
    for (std::size_t i = 0; word[i]; ++i)
        if (at + i >= text.size() || std::tolower(static_cast<unsigned char>(text[at + i])) != word[i])
            return false;
    return true;
}

// The value of attribute `name` inside the tag text [from, to); false when absent.
bool TagAttribute(const std::string& html, std::size_t from, std::size_t to, const char* name, std::string& value)
{
    const std::size_t length = std::strlen(name);
    for (std::size_t at = from; at + length < to; ++at) {
        if (!std::isspace(static_cast<unsigned char>(html[at])) || !NoCaseAt(html, at + 1, name))
            continue;
        std::size_t i = at + 1 + length;
        while (i < to && std::isspace(static_cast<unsigned char>(html[i]))) ++i;
        if (i >= to || html[i] != '=') continue;
        ++i;
        while (i < to && std::isspace(static_cast<unsigned char>(html[i]))) ++i;
        const char quote = i < to && (html[i] == '"' || html[i] == '\'') ? html[i++] : 0;
        std::size_t end = i;
        while (end < to && (quote ? html[end] != quote : !std::isspace(static_cast<unsigned char>(html[end])) && html[end] != '>'))
            ++end;
        value.assign(html, i, end - i);
        return true;
    }
    return false;
}

// The few character references an address in markup carries.
std::string UnescapeAddress(std::string text)
{
    static const struct { const char* name; char c; } kRefs[] = {{"&amp;", '&'}, {"&quot;", '"'}, {"&#39;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}};
    for (const auto& ref : kRefs)
        for (std::size_t at; (at = text.find(ref.name)) != std::string::npos;)
            text.replace(at, std::strlen(ref.name), 1, ref.c);
    return text;
}

std::string Trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

void EntryPicture::Reset()
{
    for (std::string& candidate : m_candidates) candidate.clear();
    m_thumbnailWidth = -1;
}

void EntryPicture::Offer(Rank rank, const std::string* address)
{
    if (address && m_candidates[rank].empty() && !address->empty() && address->size() <= kLongestAddress)
        m_candidates[rank] = Trimmed(*address);
}

void EntryPicture::OnElement(const XmlElement& element, int below)
{
    const std::string& name = element.name;
    // Every element of every entry comes here: those whose name cannot be one of the places
    // below (thumbnail, content, image, enclosure, link) go by their first letter.
    switch (name.empty() ? '\0' : name[0]) {
    case 't': case 'c': case 'i': case 'e': case 'l': break;
    default: return;
    }
    if (IsMediaNamespace(element.ns)) {
        const std::string* url = AttributeOf(element, "url");
        if (IsName(name, "thumbnail") && url && !url->empty() && url->size() <= kLongestAddress) {
            // The widest within bounds; one without a width only when nothing else is known.
            const int width = SizeOf(AttributeOf(element, "width"));
            const int w = width < 0 ? 0 : width;
            if (w <= kWidestThumbnail && w > m_thumbnailWidth) {
                m_candidates[Thumbnail] = Trimmed(*url);
                m_thumbnailWidth = w;
            }
        } else if (IsName(name, "content") &&
                   (IsImageType(AttributeOf(element, "type")) || AttributeIs(element, "medium", "image"))) {
            Offer(MediaContent, url);
        }
        return;
    }
    const bool child = below == 1;
    switch (name[0]) {
    case 'i':
        if (!IsName(name, "image"))
            break;
        if (element.ns.find("itunes.com/dtds/podcast") != std::string::npos) {
            Offer(PodcastImage, AttributeOf(element, "href"));
        } else if (child) {
            const std::string* url = AttributeOf(element, "url");
            Offer(ImageChild, url ? url : AttributeOf(element, "href"));
        }
        break;
    case 'e':
        if (child && IsName(name, "enclosure") && IsImageType(AttributeOf(element, "type")))
            Offer(Enclosure, AttributeOf(element, "url"));
        break;
    case 'l':
        if (child && IsName(name, "link") && IsImageType(AttributeOf(element, "type")) &&
            AttributeIs(element, "rel", "enclosure"))
            Offer(Enclosure, AttributeOf(element, "href"));
        break;
    default:
        break;
    }
}

void EntryPicture::OnImageText(const std::string& text)
{
    const std::string address = Trimmed(text);
    Offer(ImageChild, &address);
}

void EntryPicture::OnMarkup(const std::string& html)
{
    if (!m_candidates[MarkupImage].empty())
        return;
    for (std::size_t at = FindByte(html.data(), 0, html.size(), '<'); at < html.size();
         at = FindByte(html.data(), at + 1, html.size(), '<')) {
        if (!NoCaseAt(html, at + 1, "img") || at + 4 >= html.size() ||
            !(std::isspace(static_cast<unsigned char>(html[at + 4])) || html[at + 4] == '/'))
            continue;
        std::size_t end = html.find('>', at);
        if (end == std::string::npos) end = html.size();
        std::string src, width, height;
        if (!TagAttribute(html, at + 4, end, "src", src))
            continue;
        const int w = TagAttribute(html, at + 4, end, "width", width) ? SizeOf(&width) : -1;
        const int h = TagAttribute(html, at + 4, end, "height", height) ? SizeOf(&height) : -1;
        if ((w >= 0 && w < kSmallestSide) || (h >= 0 && h < kSmallestSide))
            continue;
        const std::string address = UnescapeAddress(src);
        Offer(MarkupImage, &address);
        return;
    }
}

std::string EntryPicture::Chosen(const std::string& base) const
{
    for (const std::string& candidate : m_candidates) {
        if (candidate.empty()) continue;
        std::string address = ResolveUrl(base, candidate);
        if (IsWebAddress(address))
            return address;
    }
    return std::string();
}

} // namespace vexa

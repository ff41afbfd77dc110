// The panel window's model: row texts, wrapping, layout, hit testing and scrolling.
#include "host/lib/panelview.h"

#include <oleauto.h>

#include <algorithm>
#include <cwctype>

#include "host/lib/hostlib.h"

namespace host {
namespace {

const wchar_t kEllipsis[] = L"\u2026";

bool IsBlank(wchar_t c)
{
    // Control characters count as blanks too: they have no business in a drawn line.
    return c < 0x20 || c == 0x7F || c == 0xA0 || c == 0x2028 || c == 0x2029 || std::iswspace(c);
}

// Appends text with runs of blanks collapsed to one blank, none at the start.
class Collapser {
public:
    void add(wchar_t c)
    {
        if (IsBlank(c)) {
            m_blank = !m_out.empty();
            return;
        }
        if (m_blank) m_out += L' ';
        m_blank = false;
        m_out += c;
    }
    void add(const std::wstring& text)
    {
        for (wchar_t c : text) add(c);
    }
    void blank() { m_blank = !m_out.empty(); }
    std::wstring take() { return std::move(m_out); }

private:
    std::wstring m_out;
    bool m_blank = false;
};

std::wstring Collapse(const std::wstring& text)
{
    Collapser out;
    out.add(text);
    return out.take();
}

wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// Case-insensitive (ASCII) search for `what` in `text` from `from`.
std::size_t FindNoCase(const std::wstring& text, const wchar_t* what, std::size_t from)
{
    std::size_t n = wcslen(what);
    for (std::size_t i = from; i + n <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < n && Lower(text[i + k]) == what[k]) ++k;
        if (k == n) return i;
    }
    return std::wstring::npos;
}

struct NamedEntity {
    const wchar_t* name;
    wchar_t value;
};
const NamedEntity kEntities[] = {
    {L"amp", L'&'},       {L"lt", L'<'},         {L"gt", L'>'},         {L"quot", L'"'},
    {L"apos", L'\''},     {L"nbsp", 0xA0},       {L"hellip", 0x2026},   {L"mdash", 0x2014},
    {L"ndash", 0x2013},   {L"lsquo", 0x2018},    {L"rsquo", 0x2019},    {L"ldquo", 0x201C},
    {L"rdquo", 0x201D},   {L"laquo", 0x00AB},    {L"raquo", 0x00BB},    {L"copy", 0x00A9},
    {L"reg", 0x00AE},     {L"trade", 0x2122},    {L"euro", 0x20AC},     {L"pound", 0x00A3},
    {L"yen", 0x00A5},     {L"cent", 0x00A2},     {L"deg", 0x00B0},      {L"middot", 0x00B7},
    {L"bull", 0x2022},    {L"times", 0x00D7},    {L"divide", 0x00F7},   {L"sect", 0x00A7},
    {L"para", 0x00B6},    {L"plusmn", 0x00B1},   {L"eacute", 0x00E9},   {L"egrave", 0x00E8},
    {L"aacute", 0x00E1},  {L"agrave", 0x00E0},   {L"auml", 0x00E4},     {L"ouml", 0x00F6},
    {L"uuml", 0x00FC},    {L"Auml", 0x00C4},     {L"Ouml", 0x00D6},     {L"Uuml", 0x00DC},
    {L"szlig", 0x00DF},   {L"ccedil", 0x00E7},   {L"ntilde", 0x00F1},   {L"iexcl", 0x00A1},
    {L"iquest", 0x00BF},  {L"shy", 0},
};

void AppendCodePoint(unsigned long cp, std::wstring* out)
{
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        *out += static_cast<wchar_t>(0xFFFD);
    } else if (cp >= 0x10000) {
        cp -= 0x10000;
        *out += static_cast<wchar_t>(0xD800 + (cp >> 10));
        *out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
        *out += static_cast<wchar_t>(cp);
    }
}

// Decodes the character reference at html[i] == '&'. Returns the characters it stands for
// and sets *end past it; returns false (and leaves *end) for an '&' that starts none.
bool DecodeEntity(const std::wstring& html, std::size_t i, std::wstring* text, std::size_t* end)
{
    std::size_t semi = html.find(L';', i + 1);
    if (semi == std::wstring::npos || semi - i > 32 || semi == i + 1) return false;
    std::wstring name = html.substr(i + 1, semi - i - 1);
    text->clear();
    if (name[0] == L'#') {
        bool hex = name.size() > 1 && (name[1] == L'x' || name[1] == L'X');
        std::size_t digits = hex ? 2 : 1;
        if (digits >= name.size()) return false;
        unsigned long cp = 0;
        for (std::size_t k = digits; k < name.size(); ++k) {
            wchar_t c = name[k];
            int v;
            if (c >= L'0' && c <= L'9') v = c - L'0';
            else if (hex && c >= L'a' && c <= L'f') v = c - L'a' + 10;
            else if (hex && c >= L'A' && c <= L'F') v = c - L'A' + 10;
            else return false;
            cp = cp * (hex ? 16 : 10) + v;
            if (cp > 0x10FFFF) cp = 0x110000; // stays out of range, no overflow
        }
        AppendCodePoint(cp, text);
    } else {
        auto it = std::find_if(std::begin(kEntities), std::end(kEntities),
                               [&](const NamedEntity& e) { return name == e.name; });
        if (it == std::end(kEntities)) return false;
        if (it->value) *text += it->value;
    }
    *end = semi + 1;
    return true;
}

bool IsTagStart(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'/' || c == L'!' || c == L'?';
}

// Tags after which the text reads as a new word.
bool IsBreakingTag(const std::wstring& name)
{
    static const wchar_t* const kTags[] = {L"br", L"p", L"div", L"li", L"ul", L"ol", L"tr", L"td",
                                           L"th", L"h1", L"h2", L"h3", L"h4", L"h5", L"h6",
                                           L"hr", L"blockquote", L"pre", L"table", L"img", L"dd",
                                           L"dt", L"section", L"article", L"header", L"footer"};
    for (const wchar_t* tag : kTags)
        if (name == tag) return true;
    return false;
}

// The end of the tag that starts at html[i] == '<' (the index past its '>'), skipping quoted
// attribute values; npos when it is never closed.
std::size_t TagEnd(const std::wstring& html, std::size_t i)
{
    wchar_t quote = 0;
    for (std::size_t k = i + 1; k < html.size(); ++k) {
        wchar_t c = html[k];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == L'"' || c == L'\'') {
            quote = c;
        } else if (c == L'>') {
            return k + 1;
        }
    }
    return std::wstring::npos;
}

// The length of the run of characters fitting in `width`, adjusted not to end between the
// halves of a surrogate pair, and clamped to [0, length].
std::size_t Fit(const TextMeasure& measure, const wchar_t* text, std::size_t length, int width)
{
    if (length == 0) return 0;
    int fit = measure.fit(text, static_cast<int>(length), std::max(width, 0));
    std::size_t n = static_cast<std::size_t>(std::clamp(fit, 0, static_cast<int>(length)));
    if (n > 0 && n < length && IS_HIGH_SURROGATE(text[n - 1]) && IS_LOW_SURROGATE(text[n])) --n;
    return n;
}

// At least one whole character (a surrogate pair counts as one).
std::size_t AtLeastOne(const wchar_t* text, std::size_t length, std::size_t n)
{
    if (n > 0 || length == 0) return n;
    return (length > 1 && IS_HIGH_SURROGATE(text[0]) && IS_LOW_SURROGATE(text[1])) ? 2 : 1;
}

std::wstring TrimRight(std::wstring text)
{
    while (!text.empty() && text.back() == L' ') text.pop_back();
    return text;
}

// The host part of an http or https address that is one word; empty otherwise.
std::wstring SiteOf(const std::wstring& link)
{
    if (link.find(L' ') != std::wstring::npos) return std::wstring();
    std::size_t start;
    if (link.compare(0, 7, L"http://") == 0) start = 7;
    else if (link.compare(0, 8, L"https://") == 0) start = 8;
    else return std::wstring();
    std::size_t end = link.find_first_of(L"/?#", start);
    std::wstring host = link.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    std::size_t at = host.rfind(L'@'); // no user names on show
    if (at != std::wstring::npos) host.erase(0, at + 1);
    if (host.compare(0, 4, L"www.") == 0) host.erase(0, 4);
    return host;
}

} // namespace

std::wstring HtmlToText(const std::wstring& html)
{
    Collapser out;
    std::size_t i = 0;
    while (i < html.size()) {
        wchar_t c = html[i];
        if (c == L'<' && html.compare(i, 4, L"<!--") == 0) {
            std::size_t close = html.find(L"-->", i + 4);
            if (close == std::wstring::npos) break;
            i = close + 3;
            continue;
        }
        if (c == L'<' && i + 1 < html.size() && IsTagStart(html[i + 1])) {
            std::size_t end = TagEnd(html, i);
            if (end == std::wstring::npos) break;
            std::size_t k = i + 1;
            bool closing = html[k] == L'/';
            if (closing) ++k;
            std::wstring name;
            while (k < end && (std::iswalnum(html[k]) != 0)) name += Lower(html[k++]);
            i = end;
            if (!closing && (name == L"script" || name == L"style")) {
                // Their contents are not text: skip to the closing tag.
                std::size_t close = FindNoCase(html, name == L"script" ? L"</script" : L"</style", i);
                if (close == std::wstring::npos) break;
                std::size_t closeEnd = TagEnd(html, close);
                if (closeEnd == std::wstring::npos) break;
                i = closeEnd;
                out.blank();
            } else if (IsBreakingTag(name)) {
                out.blank();
            }
            continue;
        }
        if (c == L'&') {
            std::wstring decoded;
            std::size_t end = 0;
            if (DecodeEntity(html, i, &decoded, &end)) {
                out.add(decoded);
                i = end;
                continue;
            }
        }
        out.add(c);
        ++i;
    }
    return out.take();
}

RowText MakeRowText(const ItemState& item, const SYSTEMTIME& now)
{
    RowText row;
    std::wstring heading = item.heading ? Collapse(*item.heading) : std::wstring();
    if (!heading.empty() && heading.back() == L':') heading.pop_back();
    row.heading = TrimRight(heading);

    // The snippet usually starts with the heading's line; the row shows the heading already.
    std::wstring snippet = item.snippet ? *item.snippet : (item.source ? *item.source : std::wstring());
    std::size_t lineEnd = snippet.find(L'\n');
    if (lineEnd != std::wstring::npos && !row.heading.empty()) {
        std::wstring first = Collapse(snippet.substr(0, lineEnd));
        if (!first.empty() && first.back() == L':') first.pop_back();
        if (TrimRight(first) == row.heading) snippet.erase(0, lineEnd + 1);
    }
    // A last line that is only an address: shown as its site on the time line.
    std::size_t lastStart = snippet.find_last_of(L'\n');
    lastStart = lastStart == std::wstring::npos ? 0 : lastStart + 1;
    std::wstring link = Collapse(snippet.substr(lastStart));
    std::wstring site = SiteOf(link);
    if (lastStart > 0 && !site.empty()) {
        row.site = site;
        snippet.erase(lastStart);
    }
    row.body = HtmlToText(snippet);

    SYSTEMTIME utc = {}, local = {};
    if (item.timeCreated && VariantTimeToSystemTime(*item.timeCreated, &utc)) {
        if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
        wchar_t buffer[40];
        if (local.wYear == now.wYear && local.wMonth == now.wMonth && local.wDay == now.wDay)
            swprintf(buffer, 40, L"%02u:%02u", local.wHour, local.wMinute);
        else
            swprintf(buffer, 40, L"%04u-%02u-%02u %02u:%02u", local.wYear, local.wMonth, local.wDay,
                     local.wHour, local.wMinute);
        row.time = buffer;
    }
    return row;
}

bool IsRightToLeft(const std::wstring& text)
{
    for (wchar_t c : text) {
        if ((c >= 0x0590 && c <= 0x08FF) || (c >= 0xFB1D && c <= 0xFDFF) || (c >= 0xFE70 && c <= 0xFEFF))
            return true;
        if (std::iswalpha(c) || (c >= 0x00C0 && c < 0x0590)) return false;
    }
    return false;
}

std::wstring FitLine(const std::wstring& text, int width, const TextMeasure& measure)
{
    if (text.empty()) return text;
    if (Fit(measure, text.data(), text.size(), width) >= text.size()) return text;
    int room = width - measure.width(kEllipsis, 1);
    std::size_t n = room > 0 ? Fit(measure, text.data(), text.size(), room) : 0;
    return TrimRight(text.substr(0, n)) + kEllipsis;
}

std::vector<std::wstring> WrapText(const std::wstring& text, int width, int maxLines,
                                   const TextMeasure& measure)
{
    std::vector<std::wstring> lines;
    std::size_t pos = 0;
    const std::size_t n = text.size();
    while (static_cast<int>(lines.size()) < maxLines) {
        while (pos < n && text[pos] == L' ') ++pos;
        if (pos >= n) break;
        const wchar_t* rest = text.data() + pos;
        std::size_t restLength = n - pos;
        std::size_t fit = Fit(measure, rest, restLength, width);
        if (fit >= restLength) {
            lines.push_back(text.substr(pos));
            break;
        }
        if (static_cast<int>(lines.size()) + 1 == maxLines) {
            lines.push_back(FitLine(text.substr(pos), width, measure));
            break;
        }
        // Break at the last blank that leaves the line within the width (a blank right after
        // the fitting run counts: it is not drawn).
        std::size_t cut = fit;
        while (cut > 0 && rest[cut] != L' ') --cut;
        if (cut == 0) cut = AtLeastOne(rest, restLength, fit); // one word wider than the line
        lines.push_back(TrimRight(text.substr(pos, cut)));
        pos += cut;
    }
    return lines;
}

void RowList::setCount(std::size_t count)
{
    m_count = count;
    if (m_selected >= 0 && static_cast<std::size_t>(m_selected) >= count) m_selected = -1;
    scrollTo(m_offset);
}

void RowList::setMetrics(int rowHeight, int viewHeight)
{
    // Keeps the row at the top of the view where it was.
    long topRow = m_offset / m_rowHeight;
    m_rowHeight = std::max(rowHeight, 1);
    m_viewHeight = std::max(viewHeight, 0);
    m_offset = 0;
    scrollTo(static_cast<int>(std::min<long long>(static_cast<long long>(topRow) * m_rowHeight, INT_MAX)));
}

int RowList::contentHeight() const
{
    long long height = static_cast<long long>(m_count) * m_rowHeight;
    return static_cast<int>(std::min<long long>(height, INT_MAX));
}

int RowList::maxOffset() const { return std::max(0, contentHeight() - m_viewHeight); }

bool RowList::scrollTo(int offset)
{
    int clamped = std::clamp(offset, 0, maxOffset());
    bool moved = clamped != m_offset;
    m_offset = clamped;
    return moved;
}

bool RowList::wheel(int delta, int linesPerNotch)
{
    long long pixels;
    if (linesPerNotch < 0 || linesPerNotch > 100) // WHEEL_PAGESCROLL
        pixels = std::max(m_viewHeight - m_rowHeight, m_rowHeight);
    else
        pixels = static_cast<long long>(linesPerNotch) * std::max(m_rowHeight / 4, 1);
    pixels = -pixels * delta / WHEEL_DELTA;
    pixels = std::clamp<long long>(pixels, -INT_MAX / 2, INT_MAX / 2);
    return scrollBy(static_cast<int>(pixels));
}

long RowList::hitTest(int y) const
{
    if (y < 0 || y >= m_viewHeight) return -1;
    long long index = (static_cast<long long>(y) + m_offset) / m_rowHeight;
    return index < static_cast<long long>(m_count) ? static_cast<long>(index) : -1;
}

void RowList::visibleRange(std::size_t* first, std::size_t* last) const
{
    std::size_t top = static_cast<std::size_t>(m_offset / m_rowHeight);
    std::size_t bottom = static_cast<std::size_t>(
        (static_cast<long long>(m_offset) + m_viewHeight + m_rowHeight - 1) / m_rowHeight);
    *first = std::min(top, m_count);
    *last = std::min(bottom, m_count);
}

int RowList::rowTop(std::size_t index) const
{
    long long top = static_cast<long long>(index) * m_rowHeight - m_offset;
    return static_cast<int>(std::clamp<long long>(top, INT_MIN / 2, INT_MAX / 2));
}

void RowList::ensureVisible(long index)
{
    if (index < 0) return;
    long long top = static_cast<long long>(index) * m_rowHeight;
    if (top < m_offset)
        scrollTo(static_cast<int>(top));
    else if (top + m_rowHeight > static_cast<long long>(m_offset) + m_viewHeight)
        scrollTo(static_cast<int>(top + m_rowHeight - m_viewHeight));
}

void RowList::select(long index)
{
    if (index < 0 || m_count == 0) {
        m_selected = -1;
        return;
    }
    m_selected = static_cast<long>(std::min<std::size_t>(static_cast<std::size_t>(index), m_count - 1));
    ensureVisible(m_selected);
}

bool RowList::key(UINT vk)
{
    long page = std::max(1, m_viewHeight / m_rowHeight);
    long last = static_cast<long>(m_count) - 1;
    long current = m_selected;
    long next;
    switch (vk) {
    case VK_UP: next = current < 0 ? 0 : current - 1; break;
    case VK_DOWN: next = current < 0 ? 0 : current + 1; break;
    case VK_PRIOR: next = current < 0 ? 0 : current - page; break;
    case VK_NEXT: next = current < 0 ? std::min(page - 1, last) : current + page; break;
    case VK_HOME: next = 0; break;
    case VK_END: next = last; break;
    default: return false;
    }
    if (m_count > 0) select(std::clamp(next, 0L, last));
    return true;
}

} // namespace host

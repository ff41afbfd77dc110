#include "format/readerinput.h"

#include <windows.h>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format/bytescan.h"
#include "format/utf8.h"

namespace vexa {
namespace {

bool StartsWith(const char* data, std::size_t size, std::size_t at, const char* text) noexcept
{
    const std::size_t length = std::strlen(text);
    return at <= size && size - at >= length && std::memcmp(data + at, text, length) == 0;
}

// CR LF and lone CR to LF over 16-bit units in the given order.
std::size_t NormalizeUnits(unsigned char* p, std::size_t size, bool bigEndian) noexcept
{
    const std::size_t units = size / 2;
    auto unit = [&](std::size_t k) -> unsigned {
        return bigEndian ? (p[2 * k] << 8 | p[2 * k + 1]) : (p[2 * k + 1] << 8 | p[2 * k]);
    };
    std::size_t out = 0;
    for (std::size_t k = 0; k < units; ++k) {
        unsigned u = unit(k);
        if (u == 0x0D) {
            if (k + 1 < units && unit(k + 1) == 0x0A) ++k;
            u = 0x0A;
        }
        p[2 * out + (bigEndian ? 0 : 1)] = static_cast<unsigned char>(u >> 8);
        p[2 * out + (bigEndian ? 1 : 0)] = static_cast<unsigned char>(u & 0xFF);
        ++out;
    }
    if (size % 2) p[2 * out] = p[size - 1]; // a stray last byte stays for the reader to judge
    return 2 * out + size % 2;
}

struct NamedPage {
    const char* name;
    unsigned codePage;
};

// IANA names (with '_' written '-') and their common aliases; 0: the reader reads it.
const NamedPage kPages[] = {
    {"utf-8", 0}, {"utf8", 0}, {"utf-16", 0}, {"utf-16le", 0}, {"utf-16be", 0}, {"unicode", 0},
    {"us-ascii", 0}, {"ascii", 0},
    {"gb2312", 936}, {"gbk", 936}, {"cp936", 936}, {"x-gbk", 936}, {"csgb2312", 936}, {"euc-cn", 936},
    {"gb18030", 54936},
    {"big5", 950}, {"cn-big5", 950}, {"x-x-big5", 950}, {"csbig5", 950},
    {"shift-jis", 932}, {"sjis", 932}, {"x-sjis", 932}, {"ms-kanji", 932}, {"csshiftjis", 932},
    {"windows-31j", 932}, {"cp932", 932},
    {"euc-jp", 20932}, {"x-euc-jp", 20932}, {"iso-2022-jp", 50220},
    {"euc-kr", 949}, {"ks-c-5601-1987", 949}, {"korean", 949}, {"cp949", 949}, {"windows-949", 949},
    {"koi8-r", 20866}, {"koi8-u", 21866}, {"ibm866", 866}, {"cp866", 866},
    {"iso-8859-1", 28591}, {"latin1", 28591}, {"l1", 28591}, {"iso-8859-2", 28592}, {"latin2", 28592},
    {"iso-8859-3", 28593}, {"iso-8859-4", 28594}, {"iso-8859-5", 28595}, {"iso-8859-6", 28596},
    {"iso-8859-7", 28597}, {"iso-8859-8", 28598}, {"iso-8859-8-i", 38598}, {"iso-8859-9", 28599},
    {"latin5", 28599}, {"iso-8859-11", 874}, {"iso-8859-13", 28603}, {"iso-8859-15", 28605},
    {"latin-9", 28605}, {"windows-874", 874}, {"tis-620", 874}, {"cp874", 874},
    {"windows-1250", 1250}, {"windows-1251", 1251}, {"windows-1252", 1252}, {"windows-1253", 1253},
    {"windows-1254", 1254}, {"windows-1255", 1255}, {"windows-1256", 1256}, {"windows-1257", 1257},
    {"windows-1258", 1258}, {"cp1250", 1250}, {"cp1251", 1251}, {"cp1252", 1252},
    {"macintosh", 10000}, {"mac", 10000}, {"x-mac-roman", 10000}, {"macroman", 10000},
};

// The HTML 4 entities: Latin-1 from U+00A0 on in order, then the symbols and the specials.
const char* const kLatin1[] = {
    "nbsp", "iexcl", "cent", "pound", "curren", "yen", "brvbar", "sect", "uml", "copy", "ordf",
    "laquo", "not", "shy", "reg", "macr", "deg", "plusmn", "sup2", "sup3", "acute", "micro", "para",
    "middot", "cedil", "sup1", "ordm", "raquo", "frac14", "frac12", "frac34", "iquest", "Agrave",
    "Aacute", "Acirc", "Atilde", "Auml", "Aring", "AElig", "Ccedil", "Egrave", "Eacute", "Ecirc",
    "Euml", "Igrave", "Iacute", "Icirc", "Iuml", "ETH", "Ntilde", "Ograve", "Oacute", "Ocirc",
    "Otilde", "Ouml", "times", "Oslash", "Ugrave", "Uacute", "Ucirc", "Uuml", "Yacute", "THORN",
    "szlig", "agrave", "aacute", "acirc", "atilde", "auml", "aring", "aelig", "ccedil", "egrave",
    "eacute", "ecirc", "euml", "igrave", "iacute", "icirc", "iuml", "eth", "ntilde", "ograve",
    "oacute", "ocirc", "otilde", "ouml", "divide", "oslash", "ugrave", "uacute", "ucirc", "uuml",
    "yacute", "thorn", "yuml",
};
// Greek from U+0391 (U+03A2 is no letter) and from U+03B1.
const char* const kGreekCapitals[] = {
    "Alpha", "Beta", "Gamma", "Delta", "Epsilon", "Zeta", "Eta", "Theta", "Iota", "Kappa", "Lambda",
    "Mu", "Nu", "Xi", "Omicron", "Pi", "Rho", "", "Sigma", "Tau", "Upsilon", "Phi", "Chi", "Psi", "Omega",
};
const char* const kGreekSmall[] = {
    "alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa", "lambda",
    "mu", "nu", "xi", "omicron", "pi", "rho", "sigmaf", "sigma", "tau", "upsilon", "phi", "chi", "psi", "omega",
};
struct Named {
    const char* name;
    unsigned code;
};
const Named kOthers[] = {
    {"quot", 34}, {"amp", 38}, {"lt", 60}, {"gt", 62}, {"OElig", 338}, {"oelig", 339}, {"Scaron", 352},
    {"scaron", 353}, {"Yuml", 376}, {"fnof", 402}, {"circ", 710}, {"tilde", 732}, {"thetasym", 977},
    {"upsih", 978}, {"piv", 982}, {"ensp", 8194}, {"emsp", 8195}, {"thinsp", 8201}, {"zwnj", 8204},
    {"zwj", 8205}, {"lrm", 8206}, {"rlm", 8207}, {"ndash", 8211}, {"mdash", 8212}, {"lsquo", 8216},
    {"rsquo", 8217}, {"sbquo", 8218}, {"ldquo", 8220}, {"rdquo", 8221}, {"bdquo", 8222},
    {"dagger", 8224}, {"Dagger", 8225}, {"bull", 8226}, {"hellip", 8230}, {"permil", 8240},
    {"prime", 8242}, {"Prime", 8243}, {"lsaquo", 8249}, {"rsaquo", 8250}, {"oline", 8254},
    {"frasl", 8260}, {"euro", 8364}, {"image", 8465}, {"weierp", 8472}, {"real", 8476}, {"trade", 8482},
    {"alefsym", 8501}, {"larr", 8592}, {"uarr", 8593}, {"rarr", 8594}, {"darr", 8595}, {"harr", 8596},
    {"crarr", 8629}, {"lArr", 8656}, {"uArr", 8657}, {"rArr", 8658}, {"dArr", 8659}, {"hArr", 8660},
    {"forall", 8704}, {"part", 8706}, {"exist", 8707}, {"empty", 8709}, {"nabla", 8711}, {"isin", 8712},
    {"notin", 8713}, {"ni", 8715}, {"prod", 8719}, {"sum", 8721}, {"minus", 8722}, {"lowast", 8727},
    {"radic", 8730}, {"prop", 8733}, {"infin", 8734}, {"ang", 8736}, {"and", 8743}, {"or", 8744},
    {"cap", 8745}, {"cup", 8746}, {"int", 8747}, {"there4", 8756}, {"sim", 8764}, {"cong", 8773},
    {"asymp", 8776}, {"ne", 8800}, {"equiv", 8801}, {"le", 8804}, {"ge", 8805}, {"sub", 8834},
    {"sup", 8835}, {"nsub", 8836}, {"sube", 8838}, {"supe", 8839}, {"oplus", 8853}, {"otimes", 8855},
    {"perp", 8869}, {"sdot", 8901}, {"lceil", 8968}, {"rceil", 8969}, {"lfloor", 8970},
    {"rfloor", 8971}, {"lang", 9001}, {"rang", 9002}, {"loz", 9674}, {"spades", 9824}, {"clubs", 9827},
    {"hearts", 9829}, {"diams", 9830},
};

bool NameIs(const char* name, std::size_t length, const char* candidate) noexcept
{
    return std::strlen(candidate) == length && std::memcmp(name, candidate, length) == 0;
}

template <std::size_t N>
unsigned FindInRun(const char* const (&run)[N], unsigned first, const char* name, std::size_t length) noexcept
{
    for (std::size_t k = 0; k < N; ++k)
        if (NameIs(name, length, run[k])) return first + static_cast<unsigned>(k);
    return 0;
}

bool IsNameByte(unsigned char c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == ':' || c >= 0x80;
}

// The length of the reference that starts at the '&' at `at` ("&#65;", "&#x41;", "&name;"),
// with the name's extent; 0 when the '&' starts none.
std::size_t ReferenceLength(const char* data, std::size_t size, std::size_t at, std::size_t& nameAt,
                            std::size_t& nameLength) noexcept
{
    std::size_t k = at + 1;
    nameAt = k;
    if (k < size && data[k] == '#') {
        const bool hex = k + 1 < size && data[k + 1] == 'x';
        k += hex ? 2 : 1;
        const std::size_t digits = k;
        while (k < size && (hex ? std::isxdigit(static_cast<unsigned char>(data[k])) != 0
                                : data[k] >= '0' && data[k] <= '9'))
            ++k;
        nameLength = 0;
        return k > digits && k < size && data[k] == ';' ? k + 1 - at : 0;
    }
    const unsigned char first = k < size ? static_cast<unsigned char>(data[k]) : 0;
    if (!IsNameByte(first) || first == '.' || first == '-' || (first >= '0' && first <= '9')) return 0;
    while (k < size && IsNameByte(static_cast<unsigned char>(data[k]))) ++k;
    nameLength = k - nameAt;
    return k < size && data[k] == ';' ? k + 1 - at : 0;
}

// Past the `close` that ends the construct starting at `at`, or the document's end.
std::size_t SkipSection(const char* data, std::size_t size, std::size_t at, const char* close) noexcept
{
    const std::size_t length = std::strlen(close);
    const char* end = std::search(data + at, data + size, close, close + length);
    return end == data + size ? size : static_cast<std::size_t>(end - data) + length;
}

bool ToWide(const char* data, std::size_t size, unsigned codePage, std::wstring& wide)
{
    if (codePage == 1200 || codePage == 1201) {
        wide.resize(size / 2);
        for (std::size_t k = 0; k < wide.size(); ++k) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(data) + 2 * k;
            wide[k] = static_cast<wchar_t>(codePage == 1201 ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]));
        }
        return true;
    }
    if (!IsValidCodePage(codePage)) return false;
    const int length = MultiByteToWideChar(codePage, 0, data, static_cast<int>(size), nullptr, 0);
    if (length <= 0) return false;
    wide.resize(static_cast<std::size_t>(length));
    return MultiByteToWideChar(codePage, 0, data, static_cast<int>(size), &wide[0], length) == length;
}

} // namespace

ByteForm ByteFormOf(const char* data, std::size_t size) noexcept
{
    if (size < 2) return ByteForm::Bytes;
    const unsigned char a = static_cast<unsigned char>(data[0]);
    const unsigned char b = static_cast<unsigned char>(data[1]);
    if ((a == 0xFF && b == 0xFE) || (a == '<' && b == 0)) return ByteForm::Utf16Le;
    if ((a == 0xFE && b == 0xFF) || (a == 0 && b == '<')) return ByteForm::Utf16Be;
    return ByteForm::Bytes;
}

bool HoldsCarriageReturn(const char* data, std::size_t size) noexcept
{
    return FindByte(data, 0, size, '\r') != size;
}

std::size_t NormalizeLineEnds(char* data, std::size_t size) noexcept
{
    const std::size_t at = FindByte(data, 0, size, '\r');
    if (at == size) return size;
    char* first = data + at;
    const ByteForm form = ByteFormOf(data, size);
    if (form != ByteForm::Bytes)
        return NormalizeUnits(reinterpret_cast<unsigned char*>(data), size, form == ByteForm::Utf16Be);
    char* out = first;
    const char* end = data + size;
    for (const char* in = first; in < end; ++in) {
        if (*in == '\r') {
            *out++ = '\n';
            if (in + 1 < end && in[1] == '\n') ++in;
        } else {
            *out++ = *in;
        }
    }
    return static_cast<std::size_t>(out - data);
}

std::string OpenDashedComments(const char* data, std::size_t size)
{
    const ByteForm form = ByteFormOf(data, size);
    const std::size_t width = form == ByteForm::Bytes ? 1 : 2;
    const std::size_t low = form == ByteForm::Utf16Be ? 1 : 0; // where a unit's ASCII byte lies
    auto is = [&](std::size_t unit, char c) {
        const std::size_t at = unit * width;
        return at + width <= size && data[at + low] == c && (width == 1 || data[at + 1 - low] == 0);
    };
    std::string out;
    out.reserve(size + 64);
    const std::size_t units = size / width;
    std::size_t copied = 0; // units
    for (std::size_t k = 0; k + 4 < units; ++k) {
        if (!(is(k, '<') && is(k + 1, '!') && is(k + 2, '-') && is(k + 3, '-')))
            continue;
        if (!(is(k + 4, '>') || (is(k + 4, '-') && is(k + 5, '>'))))
            continue;
        out.append(data + copied * width, (k + 4 - copied) * width);
        out.append(width == 1 ? " " : (low ? std::string("\0 ", 2) : std::string(" \0", 2)));
        copied = k + 4;
    }
    out.append(data + copied * width, size - copied * width);
    return out;
}

bool FindDeclaredEncoding(const char* data, std::size_t size, std::size_t& at, std::size_t& length) noexcept
{
    std::size_t start = StartsWith(data, size, 0, "\xEF\xBB\xBF") ? 3 : 0;
    if (!StartsWith(data, size, start, "<?xml")) return false;
    const std::size_t limit = std::min<std::size_t>(size, start + 200);
    const char* close = std::search(data + start, data + limit, "?>", "?>" + 2);
    const char* key = std::search(data + start, close, "encoding", "encoding" + 8);
    if (key == close) return false;
    const char* quote = std::find_if(key, close, [](char c) { return c == '"' || c == '\''; });
    if (quote == close) return false;
    const char* end = std::find(quote + 1, close, *quote);
    if (end == close) return false;
    at = static_cast<std::size_t>(quote + 1 - data);
    length = static_cast<std::size_t>(end - quote - 1);
    return true;
}

unsigned LegacyCodePage(const std::string& encoding) noexcept
{
    std::string name = encoding;
    for (char& c : name) c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const NamedPage& page : kPages)
        if (name == page.name) return page.codePage;
    return 0;
}

bool ConvertToUtf8(const char* data, std::size_t size, unsigned codePage, std::string& out)
{
    if (size > INT_MAX / 4) return false;
    std::wstring wide;
    if (!ToWide(data, size, codePage, wide)) return false;
    const std::size_t skip = !wide.empty() && wide[0] == 0xFEFF ? 1 : 0;
    const int count = static_cast<int>(wide.size() - skip);
    std::string text;
    if (count > 0) {
        const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data() + skip, count, nullptr, 0, nullptr, nullptr);
        if (length <= 0) return false;
        text.resize(static_cast<std::size_t>(length));
        WideCharToMultiByte(CP_UTF8, 0, wide.data() + skip, count, &text[0], length, nullptr, nullptr);
    }
    std::size_t at = 0;
    std::size_t length = 0;
    if (FindDeclaredEncoding(text.data(), text.size(), at, length)) text.replace(at, length, "UTF-8");
    out.swap(text);
    return true;
}

unsigned HtmlEntityCode(const char* name, std::size_t length) noexcept
{
    if (unsigned code = FindInRun(kLatin1, 0xA0, name, length)) return code;
    if (unsigned code = FindInRun(kGreekCapitals, 0x391, name, length)) return code;
    if (unsigned code = FindInRun(kGreekSmall, 0x3B1, name, length)) return code;
    for (const Named& named : kOthers)
        if (NameIs(name, length, named.name)) return named.code;
    return 0;
}

namespace {

// A bare '&' becomes "&amp;", an HTML named entity its numeric reference.
unsigned RepairReferences(std::string& doc)
{
    const char* data = doc.data();
    const std::size_t size = doc.size();
    unsigned made = 0;
    std::string result;
    std::size_t copied = 0;
    auto put = [&](std::size_t upTo, const std::string& text) {
        if (result.empty()) result.reserve(size + size / 8);
        result.append(data + copied, upTo - copied);
        result += text;
    };
    for (std::size_t i = 0; i < size;) {
        const char c = data[i];
        if (c == '<') {
            if (StartsWith(data, size, i, "<![CDATA[")) i = SkipSection(data, size, i, "]]>");
            else if (StartsWith(data, size, i, "<!--")) i = SkipSection(data, size, i, "-->");
            else if (StartsWith(data, size, i, "<?")) i = SkipSection(data, size, i, "?>");
            else ++i;
            continue;
        }
        if (c != '&') {
            ++i;
            continue;
        }
        std::size_t nameAt = 0;
        std::size_t nameLength = 0;
        const std::size_t length = ReferenceLength(data, size, i, nameAt, nameLength);
        if (length == 0) {
            put(i, "&amp;");
            copied = i + 1;
            made |= kRepairedAmpersand;
            i += 1;
            continue;
        }
        const bool predefined = nameLength == 0 || NameIs(data + nameAt, nameLength, "amp") ||
                                NameIs(data + nameAt, nameLength, "lt") || NameIs(data + nameAt, nameLength, "gt") ||
                                NameIs(data + nameAt, nameLength, "quot") || NameIs(data + nameAt, nameLength, "apos");
        // Another name may be an entity that the document declares: it stays.
        const unsigned code = predefined ? 0 : HtmlEntityCode(data + nameAt, nameLength);
        if (code) {
            put(i, "&#" + std::to_string(code) + ";");
            copied = i + length;
            made |= kRepairedHtmlEntity;
        }
        i += length;
    }
    if (!made) return 0;
    result.append(data + copied, size - copied);
    doc.swap(result);
    return made;
}

// Markup to skip at `i` (CDATA sections, comments, processing instructions): past its end.
std::size_t SkipUnparsed(const std::string& doc, std::size_t i) noexcept
{
    const char* data = doc.data();
    const std::size_t size = doc.size();
    if (StartsWith(data, size, i, "<![CDATA[")) return SkipSection(data, size, i, "]]>");
    if (StartsWith(data, size, i, "<!--")) return SkipSection(data, size, i, "-->");
    if (StartsWith(data, size, i, "<?")) return SkipSection(data, size, i, "?>");
    return i;
}

bool IsXmlSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// White space before the XML declaration (after a byte order mark) goes: the declaration
// must be the document's first characters.
unsigned RepairLeadingSpace(std::string& doc)
{
    const std::size_t start = StartsWith(doc.data(), doc.size(), 0, "\xEF\xBB\xBF") ? 3 : 0;
    std::size_t k = start;
    while (k < doc.size() && IsXmlSpace(doc[k])) ++k;
    if (k == start || !StartsWith(doc.data(), doc.size(), k, "<?xml")) return 0;
    doc.erase(start, k - start);
    return kRepairedLeadingSpace;
}

// A C0 control that XML forbids (all but tab, LF and CR).
bool IsForbiddenControl(unsigned long code) noexcept
{
    return code < 0x20 && code != '\t' && code != '\n' && code != '\r';
}

// Such controls go, raw anywhere or as character references outside CDATA sections,
// comments and processing instructions.
unsigned RepairControls(std::string& doc)
{
    std::string out;
    out.reserve(doc.size());
    bool made = false;
    for (std::size_t i = 0; i < doc.size();) {
        const std::size_t skipped = doc[i] == '<' ? SkipUnparsed(doc, i) : i;
        if (skipped != i) {
            for (; i < skipped; ++i)
                if (IsForbiddenControl(static_cast<unsigned char>(doc[i]))) made = true;
                else out += doc[i];
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(doc[i]);
        std::size_t nameAt = 0;
        std::size_t nameLength = 0;
        const std::size_t length = c == '&' ? ReferenceLength(doc.data(), doc.size(), i, nameAt, nameLength) : 0;
        if (length > 0 && doc[i + 1] == '#') {
            const bool hex = doc[i + 2] == 'x';
            const std::string digits = doc.substr(i + (hex ? 3 : 2), length - (hex ? 4 : 3));
            const unsigned long code = digits.size() > 8 ? 0xFFFFFFFFul : std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
            if (IsForbiddenControl(code)) {
                made = true;
                i += length;
                continue;
            }
        }
        if (IsForbiddenControl(c)) made = true;
        else out += doc[i];
        ++i;
    }
    if (!made) return 0;
    doc.swap(out);
    return kRepairedControls;
}

// Whether the document's bytes are UTF-8 by its declaration (none, UTF-8 or ASCII).
bool DeclaredUtf8(const std::string& doc)
{
    std::string name = DeclaredEncoding(doc.data(), doc.size());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name.empty() || name == "utf-8" || name == "utf8" || name == "us-ascii" || name == "ascii";
}

// The length of the valid UTF-8 sequence at `i`; 0 when the byte there starts none.
std::size_t Utf8SequenceAt(const char* data, std::size_t size, std::size_t i) noexcept
{
    std::size_t next = i;
    const char32_t c = utf::DecodeOne(data, size, next);
    if (c == utf::kReplacement && !StartsWith(data, size, i, "\xEF\xBF\xBD")) return 0;
    return next - i;
}

// windows-1252's characters for the bytes 0x80 to 0x9F (its five holes read as C1 controls,
// as browsers read them).
const char16_t kWindows1252High[32] = {
    0x20AC, 0x81, 0x201A, 0x192, 0x201E, 0x2026, 0x2020, 0x2021, 0x2C6, 0x2030, 0x160, 0x2039, 0x152, 0x8D, 0x17D, 0x8F,
    0x90, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x2DC, 0x2122, 0x161, 0x203A, 0x153, 0x9D, 0x17E, 0x178,
};

// In a UTF-8 document, each byte that is no part of a valid sequence is read as windows-1252
// (what browsers do with such pages); every valid sequence stays as it is.
unsigned RepairUtf8(std::string& doc)
{
    if (!DeclaredUtf8(doc)) return 0;
    std::string out;
    bool made = false;
    for (std::size_t i = 0; i < doc.size();) {
        const std::size_t length = Utf8SequenceAt(doc.data(), doc.size(), i);
        if (length) {
            out.append(doc, i, length);
            i += length;
            continue;
        }
        if (!made) out.reserve(doc.size() + doc.size() / 8);
        made = true;
        const unsigned char byte = static_cast<unsigned char>(doc[i++]);
        utf::AppendCodePoint(out, byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte);
    }
    if (!made) return 0;
    doc.swap(out);
    return kRepairedUtf8;
}

// The prefix of a qualified name at `at` (empty when it has none, or is xml or xmlns).
std::string PrefixAt(const std::string& doc, std::size_t at, std::size_t end)
{
    const std::size_t colon = doc.find(':', at);
    if (colon == std::string::npos || colon >= end || colon == at) return std::string();
    std::string prefix = doc.substr(at, colon - at);
    return prefix == "xml" || prefix == "xmlns" ? std::string() : prefix;
}

// Each prefix that a tag uses outside the scope of every declaration of it (its own tag's and
// those of the elements it stands in) gets a declaration of its own on the document element,
// in a namespace of no format: its elements are then foreign elements, as readers that
// recover take them. A declaration in scope still wins over the added one.
unsigned RepairPrefixes(std::string& doc)
{
    std::vector<std::string> declared;     // in scope, innermost last
    std::vector<std::size_t> scopes;       // declared.size() at each open element's start
    std::vector<std::string> missing;
    std::size_t rootName = std::string::npos; // where the document element's name ends
    for (std::size_t i = doc.find('<'); i < doc.size(); i = doc.find('<', i)) {
        const std::size_t skipped = SkipUnparsed(doc, i);
        if (skipped != i || StartsWith(doc.data(), doc.size(), i, "<!")) {
            i = skipped != i ? skipped : i + 1;
            continue;
        }
        if (StartsWith(doc.data(), doc.size(), i, "</")) {
            if (!scopes.empty()) {
                declared.resize(scopes.back());
                scopes.pop_back();
            }
            ++i;
            continue;
        }
        // The tag's names: the element's, then each attribute's, up to its '>'.
        const std::size_t scope = declared.size();
        std::vector<std::string> used;
        bool elementName = true;
        bool empty = false; // the tag closes itself
        for (++i; i < doc.size() && doc[i] != '>' && doc[i] != '<';) {
            if (doc[i] == '"' || doc[i] == '\'') {
                const std::size_t close = doc.find(doc[i], i + 1);
                i = close == std::string::npos ? doc.size() : close + 1;
                continue;
            }
            empty = doc[i] == '/';
            if (!IsNameByte(static_cast<unsigned char>(doc[i]))) { ++i; continue; }
            std::size_t end = i;
            while (end < doc.size() && IsNameByte(static_cast<unsigned char>(doc[end]))) ++end;
            if (elementName && rootName == std::string::npos) rootName = end;
            const std::size_t after = doc.find_first_not_of(" \t\n\r", end);
            const bool attribute = !elementName && after != std::string::npos && doc[after] == '=';
            if (attribute && doc.compare(i, 6, "xmlns:") == 0 && end > i + 6)
                declared.push_back(doc.substr(i + 6, end - i - 6));
            else if (elementName || attribute)
                used.push_back(PrefixAt(doc, i, end));
            elementName = false;
            i = end;
        }
        for (const std::string& prefix : used)
            if (!prefix.empty() && std::find(declared.begin(), declared.end(), prefix) == declared.end() &&
                std::find(missing.begin(), missing.end(), prefix) == missing.end())
                missing.push_back(prefix);
        if (empty)
            declared.resize(scope);
        else
            scopes.push_back(scope);
    }
    std::string added;
    for (const std::string& prefix : missing)
        added += " xmlns:" + prefix + "=\"urn:x-undeclared-prefix:" + prefix + "\"";
    if (added.empty() || rootName == std::string::npos) return 0;
    doc.insert(rootName, added);
    return kRepairedPrefix;
}

// The repairs in the order they are tried: each one's change is its own.
unsigned (*const kRepairs[])(std::string&) = {
    RepairLeadingSpace, RepairControls, RepairUtf8, RepairReferences, RepairPrefixes,
};

} // namespace

unsigned RepairMarkup(const char* data, std::size_t size, std::string& out)
{
    std::string doc(data, size);
    unsigned made = 0;
    for (const auto repair : kRepairs) made |= repair(doc);
    if (made) out.swap(doc);
    return made;
}

namespace {

// Whether a tag named `entry` (of any prefix) begins at `i`, its '<' (a start tag) or its '/'
// (an end tag).
bool EntryTagAt(const std::string& doc, std::size_t i, const std::string& entry) noexcept
{
    std::size_t name = i + 1;
    std::size_t end = name;
    while (end < doc.size() && IsNameByte(static_cast<unsigned char>(doc[end]))) ++end;
    const std::size_t colon = doc.find(':', name);
    if (colon < end) name = colon + 1;
    if (end >= doc.size() || !(IsXmlSpace(doc[end]) || doc[end] == '>' || doc[end] == '/')) return false;
    return doc.compare(name, end - name, entry) == 0;
}

// Whether the start tag at `i` closes itself ("<item/>"), its quoted values skipped.
bool SelfClosed(const std::string& doc, std::size_t i) noexcept
{
    for (; i < doc.size() && doc[i] != '>'; ++i)
        if (doc[i] == '"' || doc[i] == '\'') {
            const std::size_t close = doc.find(doc[i], i + 1);
            if (close == std::string::npos) return false;
            i = close;
        }
    return i < doc.size() && doc[i - 1] == '/';
}

} // namespace

bool LeaveOutEntry(std::string& doc, std::size_t index, const std::string& entry)
{
    // Counted as the rules count entries: a start tag while none is open, up to the next end
    // tag of that name. What goes ends at that end tag: markup between it and the next entry
    // stays (it may hold the next one's parents).
    std::size_t found = 0;
    std::size_t start = std::string::npos;
    std::size_t end = std::string::npos;
    bool open = false;
    for (std::size_t i = doc.find('<'); i < doc.size(); i = doc.find('<', i)) {
        const std::size_t skipped = SkipUnparsed(doc, i);
        if (skipped != i) {
            i = skipped;
            continue;
        }
        if (doc.compare(i, 2, "</") == 0) {
            if (EntryTagAt(doc, i + 1, entry) && open) {
                open = false;
                if (found == index + 1 && end == std::string::npos) end = std::min(doc.find('>', i), doc.size() - 1) + 1;
            }
        } else if (EntryTagAt(doc, i, entry)) {
            if (!open) {
                if (found == index) {
                    start = i;
                } else if (found == index + 1) {
                    doc.erase(start, (end != std::string::npos ? end : i) - start);
                    return true;
                }
                ++found;
            }
            open = !SelfClosed(doc, i); // one that closes itself ends the open one too
        }
        ++i;
    }
    return false;
}

bool LatinBytesAreUtf8(const char* data, std::size_t size, unsigned codePage) noexcept
{
    // ISO-8859-1 to -4, -9, -13, -15, windows-1250, -1252, -1254, -1257 and Mac Roman.
    static const unsigned kLatin[] = {28591, 28592, 28593, 28594, 28599, 28603, 28605, 1250, 1252, 1254, 1257, 10000};
    if (std::find(std::begin(kLatin), std::end(kLatin), codePage) == std::end(kLatin)) return false;
    bool multiByte = false;
    for (std::size_t i = 0; i < size;) {
        if (static_cast<unsigned char>(data[i]) < 0x80) { ++i; continue; }
        const std::size_t length = Utf8SequenceAt(data, size, i);
        if (length == 0) return false;
        multiByte = true;
        i += length;
    }
    return multiByte;
}

std::string DeclaredEncoding(const char* data, std::size_t size)
{
    std::size_t at = 0;
    std::size_t length = 0;
    return FindDeclaredEncoding(data, size, at, length) ? std::string(data + at, length) : std::string();
}

} // namespace vexa

// The SAX reader wrapper: creates the platform's reader, registers two handlers that turn
// its wide-string events into narrow callback calls, and fetches documents by URL.
#include "format/xmlparser.h"

#include <windows.h>
#include <msxml2.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <new>

#include "com/check.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "format/bytestream.h"
#include "format/markupguard.h"
#include "format/msxmlids.h"
#include "format/readerinput.h"
#include "format/textrun.h"
#include "format/utf8.h"
#include "format/uncounted.h"

namespace vexa {

using vexa::com_ptr;

namespace {

vexa::XmlCreateInstance g_create = nullptr;

HRESULT CreateXmlComponent(REFCLSID clsid, REFIID iid, void** ppv)
{
    const DWORD context = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;
    if (g_create)
        return g_create(clsid, nullptr, context, iid, ppv);
    return CoCreateInstance(clsid, nullptr, context, iid, ppv);
}

// Whether the units of `text` (as many as `narrow` has bytes) are ASCII and `narrow`'s bytes.
bool SameAscii(const std::string& narrow, const wchar_t* text)
{
    for (std::size_t i = 0; i < narrow.size(); ++i)
        if (static_cast<unsigned>(text[i]) != static_cast<unsigned char>(narrow[i]) || text[i] >= 0x80)
            return false;
    return true;
}

// Narrows at most `limit` characters (UTF-16 units, never half a surrogate pair) to UTF-8,
// into `out`, whose buffer is reused. Names and values of the usual lengths go through a
// buffer on the stack in one pass.
void Narrow(std::string& out, const wchar_t* text, int length, std::size_t limit)
{
    constexpr std::size_t kShort = 400;
    const std::size_t units =
        text && length > 0 ? vexa::utf::CutPoint(text, static_cast<std::size_t>(length), limit) : 0;
    if (units == out.size() && SameAscii(out, text))
        return; // an end tag's name is its start tag's; every element of a feed has one namespace
    if (units <= kShort) {
        char bytes[vexa::utf::kMaxUtf8PerUnit * kShort];
        vexa::utf::AssignUtf8(out, text, units, bytes);
        return;
    }
    out.clear();
    vexa::utf::AppendUtf8(out, text, units);
}
template <int Limit>
std::string NarrowText(const wchar_t* text, int length)
{
    std::string out;
    Narrow(out, text, length, Limit);
    return out;
}

// The path of a local file that an address names (a drive path, a UNC path or a file:
// address); empty when it names none.
std::wstring LocalPathOf(const std::wstring& address)
{
    if (address.size() > 5 && _wcsnicmp(address.c_str(), L"file:", 5) == 0) {
        std::wstring buffer(address.size() + 1, L'\0');
        DWORD length = static_cast<DWORD>(buffer.size());
        if (VEXA_FAILED(PathCreateFromUrlW(address.c_str(), &buffer[0], &length, 0)))
            return std::wstring();
        return std::wstring(buffer.c_str(), length);
    }
    if ((address.size() > 2 && address[1] == L':') || address.compare(0, 2, L"\\\\") == 0)
        return address;
    return std::wstring();
}

// The reader's own fetch of these schemes goes over the network with no deadline of ours:
// under Wine an ftp or gopher address that nobody answers holds the host's thread for good.
// Feeds over the network come by http, https and ftp, which our downloads fetch within bounds.
bool NetworkSchemeWithoutDeadline(const std::wstring& address)
{
    for (const wchar_t* scheme : {L"ftp:", L"gopher:"})
        if (_wcsnicmp(address.c_str(), scheme, wcslen(scheme)) == 0)
            return true;
    return false;
}

// iswspace, asked of the system only for units outside ASCII and outside the blocks of
// letters without a space (Latin to Cherokee, kana to Hangul), where most text is.
bool IsSpace(wchar_t unit)
{
    if (unit == L' ' || unit == L'\n' || unit == L'\t' || unit == L'\r')
        return true;
    if ((unit > L' ' && unit < 0x80) || (unit >= 0x100 && unit < 0x1680) || (unit >= 0x3040 && unit < 0xD800))
        return false;
    return std::iswspace(unit) != 0;
}

constexpr int kNameLimit = 199;
constexpr int kValueLimit = 399;
constexpr int kTextLimit = 799;

} // namespace

XmlCreateInstance SetXmlCreateInstance(XmlCreateInstance create) noexcept
{
    XmlCreateInstance old = g_create;
    g_create = create;
    return old;
}

// Turns content events into callback calls. It lives exactly as long as the parser that
// made it.
class CSaxContentHandler final
    : public vexa::UncountedUnknown<ISAXContentHandler, &vexa::msxml::IID_ISAXContentHandler> {
public:
    STDMETHODIMP putDocumentLocator(ISAXLocator*) override { return S_OK; }
    STDMETHODIMP startDocument() override
    {
        m_depth = 0;
        m_run.Clear();
        return S_OK;
    }
    STDMETHODIMP endDocument() override
    {
        VEXA_COM_TRY
        EndRun();
        return S_OK;
        VEXA_COM_CATCH
    }
    STDMETHODIMP startPrefixMapping(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP endPrefixMapping(const wchar_t*, int) override { return S_OK; }

    STDMETHODIMP startElement(const wchar_t* ns, int nsLength, const wchar_t* localName, int localLength,
                              const wchar_t*, int, ISAXAttributes* attributes) override
    {
        VEXA_COM_TRY
        EndRun();
        ++m_depth;
        if (!m_callback)
            return S_OK;
        XmlElement& element = Element(true, localName, localLength);
        Narrow(element.ns, ns, nsLength, kValueLimit);
        int count = 0;
        if (attributes && VEXA_OK(attributes->getLength(&count))) {
            for (int i = 0; i < count; ++i) {
                const wchar_t* name = nullptr;
                const wchar_t* value = nullptr;
                int nameLength = 0;
                int valueLength = 0;
                if (VEXA_FAILED(attributes->getLocalName(i, &name, &nameLength)) ||
                    VEXA_FAILED(attributes->getValue(i, &value, &valueLength)))
                    continue;
                if (!name || !value || nameLength == 0 || valueLength == 0)
                    continue;
                std::pair<std::string, std::string> pair;
                Narrow(pair.first, name, nameLength, kNameLimit);
                if (pair.first.empty())
                    continue;
                Narrow(pair.second, value, valueLength, m_valueLimit);
                element.attributes.push_back(std::move(pair));
            }
        }
        return Deliver(element);
        VEXA_COM_CATCH
    }

    STDMETHODIMP endElement(const wchar_t*, int, const wchar_t* localName, int localLength,
                            const wchar_t*, int) override
    {
        VEXA_COM_TRY
        EndRun();
        --m_depth;
        if (!m_callback)
            return S_OK;
        return Deliver(Element(false, localName, localLength));
        VEXA_COM_CATCH
    }

    // The reader splits a run of text where it likes (under Wine at every character outside
    // ASCII, at every reference, CDATA section and comment): the pieces are collected and the
    // run is delivered once, when the next tag (or the document's end) ends it. Comments and
    // processing instructions do not end a run: they are not part of the text.
    STDMETHODIMP characters(const wchar_t* text, int length) override
    {
        if (!m_callback || !text || length <= 0)
            return S_OK;
        // Once the run holds text, a piece's blankness is no longer asked.
        bool blank = !m_run.HasText();
        for (int i = 0; blank && i < length; ++i)
            blank = IsSpace(text[i]);
        VEXA_COM_TRY
        m_run.Append(text, static_cast<std::size_t>(length), blank);
        return S_OK;
        VEXA_COM_CATCH
    }

    STDMETHODIMP ignorableWhitespace(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP processingInstruction(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP skippedEntity(const wchar_t*, int) override { return S_OK; }

    // Delivers the run of text in progress, if it holds more than white space: cut to 799
    // characters, with its own leading and trailing blanks, at the depth it lies at.
    void EndRun()
    {
        std::string_view text;
        if (m_run.Pending() && m_run.Take(text) && m_callback)
            m_callback->OnCharacters(text, m_depth);
    }

    void SetCallback(IXmlParserCallback* callback) noexcept { m_callback = callback; }
    void SetAttributeValueLimit(std::size_t limit) noexcept { m_valueLimit = limit; }

private:
    // The event record of a start or end tag at the current depth, without attributes (and
    // for an end tag without namespace). One record serves every tag, so its buffers are reused.
    XmlElement& Element(bool isStart, const wchar_t* localName, int localLength)
    {
        m_element.isStart = isStart;
        Narrow(m_element.name, localName, localLength, kNameLimit);
        if (!isStart)
            m_element.ns.clear(); // a start tag's is narrowed over the last one
        m_element.attributes.clear();
        m_element.depth = m_depth;
        return m_element;
    }

    // Hands a tag to the callback; its abort request stops the reader.
    HRESULT Deliver(const XmlElement& element)
    {
        if (element.isStart)
            m_callback->OnStartElement(element);
        else
            m_callback->OnEndElement(element);
        return m_callback->IsAborted(element) ? E_FAIL : S_OK;
    }

    int m_depth = 0;
    std::size_t m_valueLimit = kValueLimit;
    IXmlParserCallback* m_callback = nullptr;
    vexa::TextRun<kTextLimit> m_run;
    XmlElement m_element; // the tag being delivered
};

// Hands the reader's errors to the callback with their position.
class CSaxErrorHandler final
    : public vexa::UncountedUnknown<ISAXErrorHandler, &vexa::msxml::IID_ISAXErrorHandler> {
public:
    STDMETHODIMP error(ISAXLocator* locator, const wchar_t* message, HRESULT code) override
    {
        return Deliver(locator, message, code);
    }
    STDMETHODIMP fatalError(ISAXLocator* locator, const wchar_t* message, HRESULT code) override
    {
        return Deliver(locator, message, code);
    }
    STDMETHODIMP ignorableWarning(ISAXLocator*, const wchar_t*, HRESULT) override { return S_OK; }

    void SetCallback(IXmlParserCallback* callback) noexcept { m_callback = callback; }
    // The text read before an error is delivered before the error.
    void SetContentHandler(CSaxContentHandler* content) noexcept { m_content = content; }

private:
    IXmlParserCallback* m_callback = nullptr;
    CSaxContentHandler* m_content = nullptr;

    HRESULT Deliver(ISAXLocator* locator, const wchar_t* message, HRESULT code)
    {
        VEXA_COM_TRY
        if (!m_callback)
            return S_OK;
        int line = 0;
        int column = 0;
        if (locator) {
            if (VEXA_FAILED(locator->getLineNumber(&line)))
                line = 0;
            if (VEXA_FAILED(locator->getColumnNumber(&column)))
                column = 0;
        }
        if (m_content)
            m_content->EndRun();
        const int length = message ? static_cast<int>(wcslen(message)) : 0;
        m_callback->OnError(line, column, NarrowText<kTextLimit>(message, length), code);
        return S_OK;
        VEXA_COM_CATCH
    }
};

class CXmlParserImpl {
public:
    CXmlParserImpl()
    {
        m_coInit = CoInitialize(nullptr);
        CreateReader();
        CreateSchemaCache();
    }

    ~CXmlParserImpl()
    {
        // The reader still points at the handlers: it goes first.
        m_reader.reset();
        m_schemaCache.reset();
        m_contentHandler.reset();
        m_errorHandler.reset();
        if (VEXA_OK(m_coInit))
            CoUninitialize();
    }

    bool IsReady() const { return m_reader != nullptr; }
    HRESULT LastResult() const { return m_last; }

    void SetCallback(IXmlParserCallback* callback)
    {
        m_callback = callback;
        if (m_contentHandler)
            m_contentHandler->SetCallback(callback);
        if (m_errorHandler)
            m_errorHandler->SetCallback(callback);
    }

    void SetAttributeValueLimit(std::size_t limit)
    {
        if (m_contentHandler)
            m_contentHandler->SetAttributeValueLimit(limit);
    }

    bool Parse(const std::string& url)
    {
        if (!m_reader)
            return false;
        // A local file is read here once and given to the reader as a download's body is.
        std::string bytes;
        if (ReadLocalDocument(url, bytes))
            return ParseBody(bytes);
        return ParseAddress(url);
    }

    bool ParseAddress(const std::string& url)
    {
        if (!m_reader)
            return false;
        // The address as written, up to 999 characters (a file path must stay as it is).
        const std::wstring wide = vexa::utf::WrittenAddress<wchar_t>(url, vexa::utf::kAddressLimit);
        vexa::unique_bstr address(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
        if (!address)
            throw std::bad_alloc();
        m_converted.clear();
        m_codePage = 0;
        m_readAsUtf8.clear();
        if (NetworkSchemeWithoutDeadline(wide))
            return Finish(static_cast<HRESULT>(0x800C000D)); // INET_E_UNKNOWN_PROTOCOL
        return Finish(m_reader->parseURL(address));
    }

    // Bytes that are not the reader's shape yet are copied once and brought to it.
    bool ParseBytes(const char* data, std::size_t size)
    {
        if (!m_reader)
            return false;
        m_converted.clear();
        m_codePage = 0;
        if (LegacyPage(data, size) || vexa::HoldsCarriageReturn(data, size)) {
            std::string body(data, size);
            return ParseBody(body);
        }
        return ParseReady(data, size);
    }

    bool ParseBody(std::string& body)
    {
        if (!m_reader)
            return false;
        m_converted.clear();
        m_codePage = 0;
        m_readAsUtf8.clear();
        if (const unsigned page = LegacyPage(body.data(), body.size())) {
            std::string converted;
            std::size_t at = 0;
            std::size_t length = 0;
            vexa::FindDeclaredEncoding(body.data(), body.size(), at, length);
            std::string declared = body.substr(at, length);
            // Declared Latin but UTF-8 in fact (its multi-byte sequences all valid): read as
            // UTF-8, as readers that recover read it, rather than as mojibake.
            // A code page the system does not have: the reader says what it makes of it.
            if (vexa::LatinBytesAreUtf8(body.data(), body.size(), page)) {
                body.replace(at, length, "UTF-8");
                m_readAsUtf8 = std::move(declared);
            } else if (vexa::ConvertToUtf8(body.data(), body.size(), page, converted)) {
                body.swap(converted);
                m_converted = std::move(declared);
                m_codePage = page;
            }
        }
        if (!body.empty())
            body.resize(vexa::NormalizeLineEnds(&body[0], body.size()));
        return ParseReady(body.data(), body.size());
    }

    const std::string& ConvertedEncoding() const { return m_converted; }
    unsigned ConvertedCodePage() const { return m_codePage; }
    const std::string& ReadAsUtf8() const { return m_readAsUtf8; }

private:
    // The code page through which a byte document's declared encoding is read; 0 when the
    // reader reads it itself. A UTF-8 byte order mark outweighs the declaration.
    static unsigned LegacyPage(const char* data, std::size_t size)
    {
        std::size_t at = 0;
        std::size_t length = 0;
        const bool utf8Mark = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0;
        if (utf8Mark || vexa::ByteFormOf(data, size) != vexa::ByteForm::Bytes ||
            !vexa::FindDeclaredEncoding(data, size, at, length))
            return 0;
        return vexa::LegacyCodePage(std::string(data + at, length));
    }

    // Reads bytes in the reader's shape.
    bool ParseReady(const char* data, std::size_t size)
    {
        if (size > MAXDWORD)
            return false;
        bool dashedComment = false;
        if (!vexa::MarkupFitsTheReader(data, size, &dashedComment))
            return Refuse();
        std::string opened;
        if (dashedComment) {
            opened = vexa::OpenDashedComments(data, size);
            data = opened.data();
            size = opened.size();
        }
        m_stream.Reset(data, size);
        VARIANT source;
        VariantInit(&source);
        V_VT(&source) = VT_UNKNOWN;
        V_UNKNOWN(&source) = static_cast<IStream*>(&m_stream); // borrowed, like the handlers
        const HRESULT hr = m_reader->parse(source);
        m_stream.Reset(nullptr, 0);
        return Finish(hr);
    }

    // A document that the reader must not be given: one error, and nothing read.
    bool Refuse()
    {
        m_last = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        if (m_callback)
            m_callback->OnError(1, 0, "a name in the markup is too long to read", HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
        return false;
    }

    bool Finish(HRESULT hr)
    {
        // A run cut off by a failure without an error event still reaches the callback.
        if (m_contentHandler)
            m_contentHandler->EndRun();
        m_last = hr;
        return VEXA_OK(hr);
    }

    void CreateReader()
    {
        // MSXML 4.0 first; current Windows ships only 6.0, which then serves instead.
        m_schemaClsid = &vexa::msxml::CLSID_XMLSchemaCache40;
        HRESULT hr = CreateXmlComponent(vexa::msxml::CLSID_SAXXMLReader40, vexa::msxml::IID_ISAXXMLReader,
                                        m_reader.put_void());
        if (VEXA_FAILED(hr)) {
            m_reader.reset();
            m_schemaClsid = &vexa::msxml::CLSID_XMLSchemaCache60;
            hr = CreateXmlComponent(vexa::msxml::CLSID_SAXXMLReader60, vexa::msxml::IID_ISAXXMLReader,
                                    m_reader.put_void());
            if (VEXA_FAILED(hr)) {
                m_reader.reset();
                return;
            }
            // 6.0 refuses documents with a DOCTYPE by default; 4.0 reads them.
            if (VEXA_FAILED(m_reader->putFeature(L"prohibit-dtd", VARIANT_FALSE)))
                vexa::Trace("CXmlParserImpl::CreateReader(): putFeature(L\"prohibit-dtd\",...) failed\n");
        }

        m_contentHandler.reset(new (std::nothrow) CSaxContentHandler);
        if (m_contentHandler && VEXA_FAILED(m_reader->putContentHandler(m_contentHandler.get())))
            m_contentHandler.reset();
        m_errorHandler.reset(new (std::nothrow) CSaxErrorHandler);
        if (m_errorHandler && VEXA_FAILED(m_reader->putErrorHandler(m_errorHandler.get())))
            m_errorHandler.reset();
        if (m_errorHandler)
            m_errorHandler->SetContentHandler(m_contentHandler.get());
    }

    void CreateSchemaCache()
    {
        if (!m_reader)
            return;
        if (VEXA_FAILED(CreateXmlComponent(*m_schemaClsid, vexa::msxml::IID_IXMLDOMSchemaCollection2,
                                           m_schemaCache.put_void()))) {
            m_schemaCache.reset();
            return;
        }
        vexa::unique_variant schemas;
        V_VT(&schemas) = VT_DISPATCH;
        V_DISPATCH(&schemas) = m_schemaCache.get();
        m_schemaCache->AddRef();
        HRESULT hr = m_reader->putProperty(L"schemas", schemas);
        schemas.reset();
        if (VEXA_FAILED(hr))
            vexa::Trace("CXmlParserImpl::CreateSchemaCache(): putProperty(L\"schemas\",...) failed\n");
    }

    com_ptr<ISAXXMLReader> m_reader;
    std::unique_ptr<CSaxContentHandler> m_contentHandler;
    std::unique_ptr<CSaxErrorHandler> m_errorHandler;
    com_ptr<IXMLDOMSchemaCollection2> m_schemaCache;
    CByteStream m_stream; // the document being read (the destructor lets the reader go first)
    IXmlParserCallback* m_callback = nullptr;
    HRESULT m_coInit = E_FAIL;
    HRESULT m_last = S_OK;
    const CLSID* m_schemaClsid = nullptr;
    std::string m_converted; // the encoding read through a code page; empty when none
    unsigned m_codePage = 0;
    std::string m_readAsUtf8; // the single-byte encoding declared by a document read as UTF-8
};

CXmlParser::CXmlParser() : m_impl(std::make_unique<CXmlParserImpl>()) {}
CXmlParser::~CXmlParser() = default;
bool CXmlParser::IsReady() const { return m_impl->IsReady(); }
void CXmlParser::SetCallback(IXmlParserCallback* callback) { m_impl->SetCallback(callback); }
void CXmlParser::SetAttributeValueLimit(std::size_t limit) { m_impl->SetAttributeValueLimit(limit); }
bool CXmlParser::Parse(const std::string& url) { return m_impl->Parse(url); }
bool CXmlParser::ParseAddress(const std::string& url) { return m_impl->ParseAddress(url); }
bool CXmlParser::ParseBytes(const char* data, std::size_t size) { return m_impl->ParseBytes(data, size); }
bool CXmlParser::ParseBody(std::string& body) { return m_impl->ParseBody(body); }
const std::string& CXmlParser::ConvertedEncoding() const { return m_impl->ConvertedEncoding(); }
unsigned CXmlParser::ConvertedCodePage() const { return m_impl->ConvertedCodePage(); }
const std::string& CXmlParser::ReadAsUtf8() const { return m_impl->ReadAsUtf8(); }

bool ReadLocalDocument(const std::string& url, std::string& bytes)
{
    const std::wstring path = LocalPathOf(vexa::utf::WrittenAddress<wchar_t>(url, vexa::utf::kAddressLimit));
    if (path.empty())
        return false;
    const HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    vexa::unique_handle file(opened);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size))
        return false;
    bytes.assign(static_cast<std::size_t>(std::min<LONGLONG>(size.QuadPart, 32 << 20)), '\0');
    DWORD read = 0;
    if (!bytes.empty() && !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        return false;
    bytes.resize(read);
    return true;
}
HRESULT CXmlParser::LastResult() const { return m_impl->LastResult(); }

} // namespace vexa

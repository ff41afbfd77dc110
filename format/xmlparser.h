// Reads one XML document, named by a URL, through the platform's SAX reader and hands each
// event to a callback as narrow text: UTF-8, whatever the thread's code page. Each run of
// character data between two tags arrives in one OnCharacters call. Every document reaches
// the reader in the shape of feeds/readerinput.h (line ends, encoding).
#pragma once
#include <windows.h>
#include <cstddef>
#include <memory>
#include <string>

#include "format/xmlevents.h"

namespace vexa {

class CXmlParserImpl;

// How the parser creates the platform's reader and schema cache: CoCreateInstance unless a
// test puts another routine in (to make a class unavailable). Returns the previous one;
// nullptr restores CoCreateInstance.
using XmlCreateInstance = HRESULT(WINAPI*)(REFCLSID clsid, IUnknown* outer, DWORD context,
                                      REFIID iid, void** ppv);
XmlCreateInstance SetXmlCreateInstance(XmlCreateInstance create) noexcept;

class CXmlParser {
public:
    CXmlParser();
    ~CXmlParser();
    CXmlParser(const CXmlParser&) = delete;
    CXmlParser& operator=(const CXmlParser&) = delete;

    bool IsReady() const;
    void SetCallback(IXmlParserCallback* callback);
    // Attribute values are cut to this many UTF-16 units (399 unless set; feeds keep that).
    void SetAttributeValueLimit(std::size_t limit);
    // Fetches and reads the document at `url` (UTF-8) synchronously; true when the reader
    // reports success. A local file is read as a body (ParseBody), any other address by the
    // reader's own fetch (ParseAddress).
    bool Parse(const std::string& url);
    bool ParseAddress(const std::string& url);
    // Reads a document already in memory (a downloaded body) through the same reader and
    // handlers; true when the reader reports success.
    bool ParseBytes(const char* data, std::size_t size);
    // The same for a document that the caller owns: it is brought to the reader's shape in
    // place (line ends, a legacy encoding written again in UTF-8) and keeps that shape.
    bool ParseBody(std::string& body);
    // The encoding that the last document declared and that was read through the system's
    // code page (empty when the reader read the bytes as they came), and that code page.
    const std::string& ConvertedEncoding() const;
    unsigned ConvertedCodePage() const;
    // The single-byte encoding that the last document declared and whose bytes were read as
    // the UTF-8 they are (empty when none).
    const std::string& ReadAsUtf8() const;
    // The reader's result of the last Parse or ParseBytes (S_OK before any).
    HRESULT LastResult() const;

private:
    std::unique_ptr<CXmlParserImpl> m_impl;
};

// Reads the local file that `url` names (a path or a file: address) into `bytes`, at most a
// download's 32 MB; false when the address names no local file or it cannot be read here
// (the reader then reports why).
bool ReadLocalDocument(const std::string& url, std::string& bytes);

} // namespace vexa

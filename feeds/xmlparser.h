// Reads one XML document, named by a URL, through the platform's SAX reader and hands each
// event to a callback as narrow text: UTF-8, whatever the thread's code page. Each run of
// character data between two tags arrives in one OnCharacters call.
#pragma once
#include <windows.h>
#include <cstddef>
#include <memory>
#include <string>

#include "feeds/xmlevents.h"

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
    // reports success.
    bool Parse(const std::string& url);
    // Reads a document already in memory (a downloaded body) through the same reader and
    // handlers; true when the reader reports success.
    bool ParseBytes(const char* data, std::size_t size);

private:
    std::unique_ptr<CXmlParserImpl> m_impl;
};

} // namespace vexa

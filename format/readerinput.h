// The shape a document's bytes take before the platform's reader sees them, and the two
// repairs tried on a document that it found not well-formed. Wine's reader rewrites a carriage
// return in place while it hands text and CDATA sections out, and past the end of what it
// handed out when the return ends a piece (at its buffer's edges): such a document overwrites
// memory and takes the process down. Line ends are therefore made plain LF first, as every
// XML parser must see them anyway. Plain C++ and the system's code pages.
#pragma once
#include <cstddef>
#include <string>

namespace vexa {

// How the document's characters are written: UTF-16 in either order (by its byte order mark
// or by the zero byte beside its first '<'), or bytes in which ASCII is itself (UTF-8 and the
// legacy encodings).
enum class ByteForm { Bytes, Utf16Le, Utf16Be };
ByteForm ByteFormOf(const char* data, std::size_t size) noexcept;

// Whether the bytes hold a carriage return (a byte 0x0D), found many bytes at a time.
bool HoldsCarriageReturn(const char* data, std::size_t size) noexcept;
// CR LF and a lone CR become LF, in the document's own form, in place; returns the new size.
// A document without a CR costs one scan, many bytes at a time.
std::size_t NormalizeLineEnds(char* data, std::size_t size) noexcept;

// A copy of the document in which every comment that opens with "<!-->" or "<!--->" has a
// blank after its "<!--", in the document's own form. The reader's look-ahead takes those
// dashes for the comment's end: when the real end lies past its buffer, it reports the
// comment unterminated. A comment's text is never read, so the blank changes nothing.
std::string OpenDashedComments(const char* data, std::size_t size);

// Where the value of the encoding named in the XML declaration at the start of a byte
// document lies (`at`, `length`); false when there is no declaration or it names none.
bool FindDeclaredEncoding(const char* data, std::size_t size, std::size_t& at, std::size_t& length) noexcept;

// The system's code page for an encoding that the reader does not read itself; 0 for the
// encodings it reads (UTF-8, UTF-16, ASCII) and for names no code page answers to.
unsigned LegacyCodePage(const std::string& encoding) noexcept;

// The document, read through `codePage` (1200 and 1201: UTF-16 LE and BE), written again
// in UTF-8 with an XML declaration that says so; false when the system cannot read it.
bool ConvertToUtf8(const char* data, std::size_t size, unsigned codePage, std::string& out);

// The repairs tried on a document that is not well-formed, each a small step of its own, in
// this order: white space before the XML declaration goes; C0 controls that XML forbids go,
// raw or referenced; in a UTF-8 document each byte that is no part of a valid sequence is read
// as windows-1252; outside CDATA sections, comments and processing instructions a '&' that
// starts no reference becomes "&amp;" and an HTML named entity a numeric character reference;
// a prefix used without a declaration gets one of its own on the document element (a
// namespace of no format). `data` is a byte document (UTF-8 or ASCII based); `out` receives
// the repaired copy. Returns the repairs made (0: none, out is left).
enum MarkupRepair : unsigned {
    kRepairedAmpersand = 1u,
    kRepairedHtmlEntity = 2u,
    kRepairedLeadingSpace = 4u,
    kRepairedControls = 8u,
    kRepairedUtf8 = 16u,
    kRepairedPrefix = 32u,
    kReadLatinAsUtf8 = 64u, // not a repair of markup: a declared single-byte encoding read as UTF-8
};
unsigned RepairMarkup(const char* data, std::size_t size, std::string& out);

// Leaves out the entry (an element named `entry`, of any prefix) that the document's entries
// count `index`, through its end tag (else up to the next one's start tag), outside CDATA
// sections, comments and processing instructions; false, leaving the document, when there is
// no next one. As the
// rules read them, an entry ends at the first end tag of its name: a start tag inside it
// starts none. `doc` is a byte document (UTF-8 or ASCII based).
bool LeaveOutEntry(std::string& doc, std::size_t index, const std::string& entry);

// Whether a document declared in a single-byte Latin encoding (by its code page) is UTF-8
// in fact: every byte part of a valid UTF-8 sequence, and some sequences of more than one.
bool LatinBytesAreUtf8(const char* data, std::size_t size, unsigned codePage) noexcept;

// The code point of an HTML 4 named entity (without '&' and ';'); 0 when it is none.
unsigned HtmlEntityCode(const char* name, std::size_t length) noexcept;

// The encoding named in the XML declaration at the start of `data` (empty when none).
std::string DeclaredEncoding(const char* data, std::size_t size);

} // namespace vexa

// What the platform's reader can be given. Wine's reader formats each parse error, with the
// names and values it is about, into a fixed 1 KiB buffer on its stack: a document whose
// error names an element of some thousand characters overwrites that stack and takes the
// whole process down. Feeds never need such names, so such a document is refused unread.
// Plain C++.
#pragma once
#include <cstddef>

namespace vexa {

// Longest name in markup (element, attribute, entity, processing instruction target), and
// longest value of a namespace declaration or of a declaration, counted in UTF-8 bytes.
constexpr std::size_t kReaderNameLimit = 300;
constexpr std::size_t kReaderValueLimit = 600;

// False when the document's markup holds a name or such a value over its limit. Text,
// comments, CDATA sections and the values of other attributes may be of any length.
// `dashedComment`, when given, is set when a comment opens with "<!-->" or "<!--->" (see
// OpenDashedComments).
bool MarkupFitsTheReader(const char* data, std::size_t size, bool* dashedComment = nullptr) noexcept;

} // namespace vexa

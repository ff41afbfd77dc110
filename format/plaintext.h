// Short plain lines from feed texts: a title's white space made one line, and a heading for
// an entry without a title taken from the start of its HTML description. Plain C++.
#pragma once
#include <cstddef>
#include <string>

namespace vexa {

// `text` with leading and trailing white space dropped and every inner run of white space
// (line breaks included) made one space.
std::string OneLine(const std::string& text);

// The start of an HTML text as one plain line: tags and comments removed, character
// references decoded, at most `limit` characters, the last of them an ellipsis where the
// text was cut. UTF-8 in and out.
std::string PlainHeading(const std::string& html, std::size_t limit = 80);

} // namespace vexa

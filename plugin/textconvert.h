// Conversions between the feed store's narrow text (UTF-8) and the host's wide text
// (UTF-16), whatever the thread's code page. Both throw std::bad_alloc when memory runs out.
#pragma once
#include <string>

namespace vexa {

// Each invalid UTF-8 sequence becomes U+FFFD.
std::wstring WidenUtf8(const std::string& text);
// Up to the first NUL; false (out untouched) when the text holds a surrogate without its other
// half, which UTF-8 cannot carry.
bool NarrowUtf8(const std::wstring& text, std::string& out);

} // namespace vexa

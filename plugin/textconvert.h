// Conversions between the feed store's narrow text and the host's wide text, in the thread's
// ANSI code page. Both throw std::bad_alloc when memory runs out.
#pragma once
#include <windows.h>
#include <string>

namespace vexa {

// Characters the code page cannot map come out as U+FFFD or the code page's mapping.
std::wstring WidenThreadAcp(const std::string& text);
// False when the conversion fails; unrepresentable characters become the default character.
bool NarrowThreadAcp(const std::wstring& text, std::string& out);

} // namespace vexa

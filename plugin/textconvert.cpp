#include "plugin/textconvert.h"

#include <new>
#include <vector>

namespace vexa {

std::wstring WidenThreadAcp(const std::string& text)
{
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    int units = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), size, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring out(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), size, &out[0], units);
    return out;
}

bool NarrowThreadAcp(const std::wstring& text, std::string& out)
{
    // Two bytes a character covers every double-byte code page; a code page with longer
    // sequences gets a buffer of the size it asks for.
    std::vector<char> buffer(2 * (text.size() + 1));
    int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, buffer.data(),
                                    static_cast<int>(buffer.size()), nullptr, nullptr);
    if (bytes == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
        if (needed > 0) {
            buffer.assign(static_cast<std::size_t>(needed), '\0');
            bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, buffer.data(), needed,
                                        nullptr, nullptr);
        }
    }
    if (bytes == 0) return false;
    out.assign(buffer.data()); // up to the first NUL
    return true;
}

} // namespace vexa

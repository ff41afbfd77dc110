// Native build: the download's types as the store uses them. The native driver gives the
// store no http address, so no download starts (see parser_stub.cpp).
#pragma once
#include <windows.h>
#include <string>

namespace vexa {
struct FetchRequest {
    std::wstring url;
    std::wstring etag;
    std::wstring lastModified;
};
struct FetchResult {
    enum class Outcome { Failed, Answered, Cut };
    Outcome outcome = Outcome::Failed;
    DWORD status = 0;
    DWORD error = 0;
    std::string body;
    std::wstring etag;
    std::wstring lastModified;
    ULONGLONG retryAfterMs = 0;
};
class FetchJob {
public:
    static FetchJob* Start(const FetchRequest&, FetchJob*) noexcept { return nullptr; }
    ULONG AddRef() noexcept { return 1; }
    ULONG Release() noexcept { return 0; }
    bool WaitUntil(ULONGLONG) noexcept { return true; }
    FetchResult TakeResult() { return FetchResult(); }
};
bool IsHttpAddress(const std::wstring& url) noexcept;
bool WidenAddress(const std::string& url, std::wstring& wide);
} // namespace vexa

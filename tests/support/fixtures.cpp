#include "tests/support/fixtures.h"

#include <clocale>

#include <atomic>
#include <memory>

#include "com/check.h"
#include "com/module.h"
#include "net/httpfetch.h"
#include "host/lib/panelprinter.h"

namespace vexatest {
namespace {
std::vector<std::string> g_reports;
std::vector<std::string> g_traces;
void CollectReport(const char*, int, const char* text) noexcept { g_reports.emplace_back(text); }
void CollectTrace(const char* text) noexcept { g_traces.emplace_back(text); }
std::atomic<int> g_scratchSerial{0};
} // namespace

// Parent of every scratch key: opened once, in the real HKEY_CURRENT_USER, before any
// override exists, so later overrides (of either root) never redirect the scratch keys.
HKEY ScratchParent()
{
    static HKEY parent = [] {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\VexaTests", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr);
        return key;
    }();
    return parent;
}

RegistryOverride::RegistryOverride(HKEY predefined) : m_predefined(predefined)
{
    m_path = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++g_scratchSerial) +
             L"_" + std::to_wstring(GetTickCount());
    HKEY parent = ScratchParent();
    EXPECT_NE(parent, nullptr);
    LONG rc = RegCreateKeyExW(parent, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &m_scratch, nullptr);
    EXPECT_EQ(rc, ERROR_SUCCESS);
    rc = RegOverridePredefKey(m_predefined, m_scratch);
    EXPECT_EQ(rc, ERROR_SUCCESS);
}

RegistryOverride::~RegistryOverride()
{
    RegOverridePredefKey(m_predefined, nullptr);
    if (m_scratch) {
        RegDeleteTreeW(m_scratch, nullptr);
        RegCloseKey(m_scratch);
    }
    RegDeleteKeyW(ScratchParent(), m_path.c_str());
}

ChannelCapture::ChannelCapture()
{
    clear();
    vexa::SetReportSink(CollectReport);
    vexa::SetTraceSink(CollectTrace);
}
ChannelCapture::~ChannelCapture()
{
    vexa::SetReportSink(nullptr);
    vexa::SetTraceSink(nullptr);
}
const std::vector<std::string>& ChannelCapture::reports() const { return g_reports; }
const std::vector<std::string>& ChannelCapture::traces() const { return g_traces; }
void ChannelCapture::clear()
{
    g_reports.clear();
    g_traces.clear();
}

void VexaTest::SetUp()
{
    m_startLocks = vexa::Module::LockCount();
    m_hkcu = std::make_unique<RegistryOverride>(HKEY_CURRENT_USER);
    m_channels = std::make_unique<ChannelCapture>();
}

void VexaTest::TearDown()
{
    // A download left running ends by its deadlines (short in tests) and gives its lock back.
    EXPECT_TRUE(vexa::FetchJob::WaitForWorkers(20000)) << "a download worker is still running";
    EXPECT_EQ(vexa::Module::LockCount(), m_startLocks) << "a Vexa object outlived the test";
    m_channels.reset();
    m_hkcu.reset();
}

ThreadCodePage::ThreadCodePage(unsigned codePage) : m_locale(GetThreadLocale())
{
    const char* previous = setlocale(LC_ALL, nullptr);
    m_crtLocale = previous ? previous : "C";
    LCID locale = 0;
    const char* crt = nullptr;
    switch (codePage) {
    case 1251: locale = MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT); crt = ".1251"; break;
    case 932: locale = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT); crt = ".932"; break;
    case 936: locale = MAKELCID(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), SORT_DEFAULT); crt = ".936"; break;
    case 65001: crt = ".65001"; break;
    default: locale = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT); crt = ".1252"; break;
    }
    if (locale) {
        EXPECT_TRUE(SetThreadLocale(locale));
    }
    EXPECT_NE(setlocale(LC_ALL, crt), nullptr) << crt;
}

ThreadCodePage::~ThreadCodePage()
{
    SetThreadLocale(m_locale);
    setlocale(LC_ALL, m_crtLocale.c_str());
}

unsigned ThreadCodePage::Current()
{
    CPINFOEXW info = {};
    return GetCPInfoExW(CP_THREAD_ACP, 0, &info) ? info.CodePage : 0;
}

ULONGLONG TodayAt(int hour, int minute)
{
    SYSTEMTIME local = {}, utc = {};
    GetLocalTime(&local);
    local.wHour = static_cast<WORD>(hour);
    local.wMinute = static_cast<WORD>(minute);
    local.wSecond = local.wMilliseconds = 0;
    FILETIME ft = {};
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &ft))
        return 0;
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

vexa::FeedHealth HealthRecord(const std::wstring& address, vexa::FeedState state, ULONGLONG at,
                              const std::wstring& cause, long entries, const std::wstring& title)
{
    vexa::FeedHealth record;
    record.address = address;
    record.state = state;
    record.lastAttempt = at;
    if (state == vexa::FeedState::Loaded) record.lastSuccess = at;
    if (state == vexa::FeedState::Failing) record.failingSince = at;
    if (state == vexa::FeedState::Paused) record.failingSince = record.retryUntil = at;
    record.cause = cause;
    record.entries = entries;
    record.title = title;
    return record;
}

std::wstring Widen(const std::string& text) { return host::FromUtf8(text); }
std::string Narrow(const std::wstring& text) { return host::Utf8(text); }

} // namespace vexatest

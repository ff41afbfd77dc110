// Shared test fixtures: registry isolation, the debug-report and trace sinks, and the
// checks that nothing is left alive after a test.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "userdata/feedhealth.h"

namespace vexatest {

// Points a predefined key (HKEY_CURRENT_USER, HKEY_CLASSES_ROOT) at a fresh scratch key for
// the object's life, and deletes the scratch key afterwards.
class RegistryOverride {
public:
    explicit RegistryOverride(HKEY predefined);
    ~RegistryOverride();
    RegistryOverride(const RegistryOverride&) = delete;
    RegistryOverride& operator=(const RegistryOverride&) = delete;
    HKEY scratch() const { return m_scratch; }

private:
    HKEY m_predefined;
    HKEY m_scratch = nullptr;
    std::wstring m_path;
};

// Collects what the debug-report and trace channels receive while it lives.
class ChannelCapture {
public:
    ChannelCapture();
    ~ChannelCapture();
    ChannelCapture(const ChannelCapture&) = delete;
    ChannelCapture& operator=(const ChannelCapture&) = delete;

    const std::vector<std::string>& reports() const;
    const std::vector<std::string>& traces() const;
    void clear();
};

// Base fixture: HKEY_CURRENT_USER isolated, channels captured, and at the end of each test
// the module's lock count (every live Vexa object holds one) back where it started.
class VexaTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<RegistryOverride> m_hkcu;
    std::unique_ptr<ChannelCapture> m_channels;
    long m_startLocks = 0;
};

// Sets the thread's locale (and so its ANSI code page) and the C runtime's locale for the
// object's life, and puts both back afterwards. Code page 65001 has no locale of its own:
// it is set in the C runtime only, the thread keeping its locale.
class ThreadCodePage {
public:
    explicit ThreadCodePage(unsigned codePage);
    ~ThreadCodePage();
    ThreadCodePage(const ThreadCodePage&) = delete;
    ThreadCodePage& operator=(const ThreadCodePage&) = delete;
    // The code page that CP_THREAD_ACP now stands for.
    static unsigned Current();

private:
    LCID m_locale;
    std::string m_crtLocale;
};

// Today at hour:minute local time, as the feed health records keep times (UTC FILETIME).
ULONGLONG TodayAt(int hour, int minute);
// A health record as the plugin keeps one; `at` is the time its state is about (the last
// success of a loaded feed, the start of a failing one's failures, the end of a pause).
vexa::FeedHealth HealthRecord(const std::wstring& address, vexa::FeedState state, ULONGLONG at,
                              const std::wstring& cause = std::wstring(), long entries = -1,
                              const std::wstring& title = std::wstring());

// A controlling unknown for aggregation tests: counts its references, answers IUnknown itself
// and passes the rest to `inner` (not owned), if any.
struct FakeOuter : IUnknown {
    ULONG refs = 1;
    IUnknown* inner = nullptr;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown)) return *ppv = this, AddRef(), S_OK;
        return inner ? inner->QueryInterface(riid, ppv) : (*ppv = nullptr, E_NOINTERFACE);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
};

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

} // namespace vexatest

// The sidebar host stand-in: the host's site, its aggregatable plugin-helper and
// content-item-helper classes, and the panel they fill. The panel model and the call log are
// what a test (or the sidebar program) reads to see what a plugin did to the host.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "com/ptr.h"
#include "hostapi.h"

namespace host {

// Every live host object holds one count, so tests can see that the host leaks nothing and
// host objects are not taken for plugin objects (they do not hold the plugin's module lock).
struct HostLock {
    HostLock() noexcept;
    HostLock(const HostLock&) noexcept;
    HostLock& operator=(const HostLock&) noexcept { return *this; }
    ~HostLock();
};
long LiveObjects() noexcept;

// What a content item carries: every property that was put, unset until then.
struct ItemState {
    std::optional<std::wstring> heading;
    std::optional<std::wstring> tooltip;
    std::optional<std::wstring> source;
    std::optional<std::wstring> snippet;
    std::optional<DATE> timeCreated;
    std::optional<long> layout;
    std::optional<long> flags;
    bool imageSet = false;
    vexa::com_ptr<IPicture> image;
};

// One item in the panel: the host keeps the item object alive until the panel is cleared.
struct PanelItem {
    vexa::com_ptr<IUnknown> item;         // the reference the host holds
    std::shared_ptr<ItemState> state;     // shared with the item's helper object
    long addFlags = 0;                    // the flag word of AddContentItem
};

struct Panel {
    std::optional<std::wstring> title;
    std::optional<std::wstring> aboutText;
    bool iconsSet = false;
    vexa::com_ptr<IPicture> smallIcon;
    vexa::com_ptr<IPicture> largeIcon;
    std::optional<long> displayFlags;
    std::optional<long> displayMask;
    std::vector<PanelItem> items; // panel order
    int clears = 0;               // RemoveAllContentItems calls that succeeded
};

// The host's state for this process: the panel, the call log, the display state that the
// site reports, and the failures to inject.
class Host {
public:
    static Host& Get();

    Panel& panel() { return m_panel; }
    const std::vector<std::wstring>& log() const { return m_log; }
    // The log without arguments: "put_title", "SetDisplayFlags", ...
    std::vector<std::wstring> calls() const;
    void clearLog() { m_log.clear(); }
    // A program that only watches calls through its observer keeps no log: over months of
    // refreshes it would grow by every call.
    void keepLog(bool keep) { m_keepLog = keep; }

    long displayState() const { return m_displayState; }
    void setDisplayState(long state) { m_displayState = state; }

    // Makes every later call of the named operation (e.g. L"put_title") return hr, and leave
    // the model unchanged, until cleared. S_OK clears the entry.
    void failOn(const std::wstring& operation, HRESULT hr);
    void clearFailures() { m_failures.clear(); }

    // Called after every logged call with the log line, so a program can print changes.
    using Observer = std::function<void(const std::wstring& line)>;
    void setObserver(Observer observer) { m_observer = std::move(observer); }

    // Drops the panel (releasing the items and pictures), the log, the failures and the
    // display state (back to 1).
    void reset();

    // Used by the host objects: logs the call and gives the injected result (S_OK if none).
    HRESULT record(const std::wstring& operation, const std::wstring& args);

private:
    Panel m_panel;
    std::vector<std::wstring> m_log;
    bool m_keepLog = true;
    std::map<std::wstring, HRESULT> m_failures;
    long m_displayState = 1;
    Observer m_observer;
};

// Creates a site object (IDisplaySite) reporting Host::displayState().
HRESULT CreateSite(REFIID riid, void** ppv);

// Creation routines of the two helper classes (plain or aggregated).
HRESULT CreatePluginHelper(IUnknown* outer, REFIID riid, void** ppv);
HRESULT CreateContentItemHelper(IUnknown* outer, REFIID riid, void** ppv);

// The properties kept by an item helper, found from the helper's IDisplayContentItemHelper;
// null for an object that is not one of ours.
std::shared_ptr<ItemState> FindItemState(IDisplayContentItemHelper* helper);

// Registers the helper classes in-process (CoRegisterClassObject, CLSCTX_INPROC_SERVER) for
// its life, so CoCreateInstance finds them without registry entries; revokes them after.
class ClassRegistration {
public:
    enum : unsigned { PluginHelper = 1, ContentItemHelper = 2, All = 3 };
    explicit ClassRegistration(unsigned classes = All);
    ~ClassRegistration();
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;
    HRESULT result() const { return m_hr; }

private:
    std::vector<DWORD> m_cookies;
    // A registered class object counts as a live host object while it is registered.
    std::vector<HostLock> m_classLocks;
    HRESULT m_hr = S_OK;
};

// Describes a picture for the log: "null" or "picture".
std::wstring DescribePicture(IPicture* picture);

} // namespace host

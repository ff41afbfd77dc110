// The display plugin: the object the sidebar host creates (CVexaPlugin), the hidden window
// that drives its refresh timer, and the content item objects it hands to the host.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <string>
#include <vector>

#include "Vexa_h.h"
#include "com/dispatch.h"
#include "com/object.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "com/window.h"
#include "hostapi.h"

namespace vexa {

class CRssStore;
struct CRssItem;
class RefreshCycle;
class EntryPictures;
class CVexaPlugin;

// A message-only window that owns timer 1 and turns its ticks into non-clearing refreshes.
class RefreshTimerWindow final : public vexa::WindowBase {
public:
    static constexpr UINT_PTR kTimerId = 1;
    static constexpr UINT kPeriodMs = 25000;

    RefreshTimerWindow() = default;
    ~RefreshTimerWindow() override;

    // Creates the window and starts the timer; false when no window could be made.
    bool Start(CVexaPlugin* plugin);
    // Destroys the window, which ends the timer.
    void Stop();
    HWND Handle() const { return Window(); }

    // The window class is registered on first use; the module's detach unregisters it.
    static void UnregisterWindowClass();

private:
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

    CVexaPlugin* m_plugin = nullptr;
};

class CVexaPlugin : public IDisplayPluginHandler,
                    public IPersistStreamInit,
                    public ISpecifyPropertyPages,
                    public IObjectWithSite,
                    public vexa::DispatchImpl<IVexaPlugin, &IID_IVexaPlugin, &LIBID_VexaLib>,
                    public vexa::ObjectRoot {
public:
    static constexpr DWORD kStreamVersion = 1808;

    explicit CVexaPlugin(IUnknown* outer);
    ~CVexaPlugin() override;
    VEXA_IUNKNOWN_DELEGATING

    // IDisplayPluginHandler
    STDMETHODIMP HandleCommand(LONG command) override;
    STDMETHODIMP DisplayStateChanged(LONG display_state) override;

    // IPersistStreamInit
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(IStream* stream) override;
    STDMETHODIMP Save(IStream* stream, BOOL clearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
    STDMETHODIMP InitNew() override;

    // ISpecifyPropertyPages
    STDMETHODIMP GetPages(CAUUID* pages) override;

    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** ppv) override;

    // IVexaPlugin
    STDMETHODIMP get_Value1(BSTR* pVal) override;
    STDMETHODIMP put_Value1(BSTR newVal) override;

    // Gives the host the title (string 113).
    void UpdateTitle();
    // Brings the panel up to date: clears it first when asked, then loads every feed of the
    // list and adds an item for every feed entry not shown before.
    void Refresh(bool clear);
    // Makes one content item from a feed entry and hands it to the host.
    void ShowFeedItem(CRssItem* record);

    // How long a tick waits for its downloads (2 s); what is not done by then is used by the
    // next refresh. Tests shorten it; returns the previous value.
    static DWORD SetTickWait(DWORD ms);

    // What the plugin holds, for looking at from outside (no store before a start-up).
    CRssStore* Store() const noexcept;
    // The entries' pictures; null before a start-up.
    EntryPictures* Pictures() const noexcept;
    IPicture* ContentIcon() const noexcept { return m_contentIcon.get(); }
    const std::wstring& Value1() const noexcept { return m_value1; }
    HWND TimerWindow() const noexcept { return m_timerWindow.Handle(); }

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override;
    HRESULT QueryDelegate(REFIID riid, void** ppv) noexcept override;

private:
    HRESULT StartUp();
    HRESULT MakePicture(UINT iconId, int cx, int cy, vexa::com_ptr<IPicture>& picture);
    // Runs one piece of refresh work as the only one, then whatever arrived meanwhile.
    template <typename Work> void RunExclusive(Work work);
    // Runs a Value1 write that came in during a refresh.
    void RunQueued();
    void RunRefresh(bool clear);
    // Shows every record not shown yet (after a load that succeeded).
    void ShowNewRecords();
    // The end of every refresh: the title again in display state 2.
    void EndRefresh();

    std::wstring m_value1;
    // The refresh's turns, the store and the feeds' health records; made by the start-up.
    std::unique_ptr<RefreshCycle> m_cycle;
    vexa::com_ptr<IPicture> m_smallIcon;
    vexa::com_ptr<IPicture> m_largeIcon;
    vexa::com_ptr<IPicture> m_contentIcon;
    // The class object of the host's item helper during a walk that shows records, looked up
    // once for all its items (a lookup per item costs registry reads under the COM runtime);
    // null outside such a walk.
    IClassFactory* m_itemHelperFactory = nullptr;
    RefreshTimerWindow m_timerWindow;
    BOOL m_requiresSave = FALSE;
    vexa::com_ptr<IUnknown> m_helperUnknown;
    vexa::com_ptr<IUnknown> m_site;
    // The pictures do not own their icons (fOwn FALSE); the plugin destroys them at the end.
    vexa::unique_hicon m_iconHandles[3];
    bool m_started = false;    // a start-up succeeded: a second one is refused
    bool m_refreshing = false; // a refresh is running: a nested one is skipped
    bool m_clearAgain = false; // a Value1 write came during a refresh: it runs right after
    int m_shownThrough = 0;    // store count after the last walk that left every record shown
};

// One entry in the host's panel. It answers the host's item callbacks itself and hands
// every other interface to an aggregated host item helper, created on first request.
class CVexaPluginContentItem
    : public vexa::DispatchImpl<IDisplayContentItemHandler, &IID_IDisplayContentItemHandler, &LIBID_VexaLib>,
      public vexa::ObjectRoot {
public:
    explicit CVexaPluginContentItem(IUnknown* outer) : RootType(outer) {}
    VEXA_IUNKNOWN_DELEGATING

    STDMETHODIMP Reserved7(LONG, LONG, LONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reserved8(LONG, LONG, LONG, LONG) override { return E_NOTIMPL; }
    STDMETHODIMP OpenItem() override;
    STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved11(LONG, LONG, LONG, LONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reserved12(LONG, LONG, LONG, LONG) override { return E_NOTIMPL; }
    STDMETHODIMP HandleActivation(LONG flags) override;
    STDMETHODIMP HandleCancelQuery(VARIANT_BOOL* cancel) override;

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override;
    HRESULT QueryDelegate(REFIID riid, void** ppv) noexcept override;

public:
    // The helper's class object, when the plugin has it: the helper is made by it.
    void UseHelperFactory(IClassFactory* factory) noexcept { m_helperFactory = vexa::com_ptr<IClassFactory>(factory); }

private:
    vexa::com_ptr<IUnknown> m_helper; // inner unknown of the aggregated item helper
    vexa::com_ptr<IClassFactory> m_helperFactory; // let go once the helper is made
};

// The creatable form: CreateInstance gives a new item with a reference count of 0.
class CVexaPluginContentItemImpl final : public CVexaPluginContentItem {
public:
    CVexaPluginContentItemImpl() : CVexaPluginContentItem(nullptr) {}
    static HRESULT CreateInstance(CVexaPluginContentItemImpl** item) noexcept;
};

// The browser launch goes through this function (ShellExecuteW by default), so tests can
// see what would be opened without starting a browser.
using ShellExecuteFn = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
ShellExecuteFn SetShellExecuteFn(ShellExecuteFn fn);

// Makes a new plugin (plain, or as the inner object of an aggregate) and asks it for riid.
HRESULT CreateVexaPluginInstance(IUnknown* outer, REFIID riid, void** ppv);

} // namespace vexa

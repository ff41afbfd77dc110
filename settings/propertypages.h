// The settings page: a property page that edits the feed list, shown by the host's
// property frame as the child dialog IDD_VEXAPLUGINPROPERTYPAGE.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <map>
#include <string>
#include <vector>

#include "com/module.h"
#include "com/object.h"
#include "com/ptr.h"
#include "com/window.h"
#include "settings/healthline.h"

namespace vexa {

// The page's window is a modeless dialog made from template IDD_VEXAPLUGINPROPERTYPAGE of
// this module, whose messages go to the page's message map.
class CVexaPluginPropertyPage : public IPropertyPage,
                                public vexa::WindowBase,
                                public vexa::ObjectRoot,
                                public vexa::InstanceCounter<CVexaPluginPropertyPage> {
public:
    explicit CVexaPluginPropertyPage(IUnknown* outer);
    ~CVexaPluginPropertyPage() override;

    VEXA_IUNKNOWN_DELEGATING

    // IPropertyPage
    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
    STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
    STDMETHODIMP Deactivate() override;
    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
    STDMETHODIMP Show(UINT cmdShow) override;
    STDMETHODIMP Move(LPCRECT rect) override;
    STDMETHODIMP IsPageDirty() override;
    STDMETHODIMP Apply() override;
    STDMETHODIMP Help(LPCOLESTR helpDir) override;
    STDMETHODIMP TranslateAccelerator(MSG* msg) override;

    // Message handlers; each returns 0 and leaves bHandled set.
    LRESULT OnInitDialog(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnUrlChange(WORD code, WORD id, HWND control, BOOL& bHandled);
    LRESULT OnAdd(WORD code, WORD id, HWND control, BOOL& bHandled);
    LRESULT OnRemove(WORD code, WORD id, HWND control, BOOL& bHandled);
    LRESULT OnListSelChange(WORD code, WORD id, HWND control, BOOL& bHandled);
    LRESULT OnImport(WORD code, WORD id, HWND control, BOOL& bHandled);
    LRESULT OnExport(WORD code, WORD id, HWND control, BOOL& bHandled);
    LRESULT OnStyleChanging(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnDrawItem(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnNotify(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    void SetDirty(BOOL bDirty);

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override;
    // The message map.
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    // A control of the page's window; null while there is no window.
    HWND DlgItem(int id) const { return m_hWnd ? GetDlgItem(m_hWnd, id) : nullptr; }
    void AddToList(const std::wstring& sDest);
    std::wstring GetListItem(int i);
    std::vector<std::wstring> ListItems(); // every item, trimmed, in the list's order
    int GetListCount();
    std::wstring GetUrlText();
    bool CanAdd(const std::wstring& sNewUrl);
    void UpdateAddButton();
    // The health line: the selected address's record, or the summary of the list's.
    void UpdateHealthLine();

    vexa::com_ptr<IPropertyPageSite> m_pPageSite;
    std::vector<vexa::com_ptr<IUnknown>> m_ppUnk; // the objects of SetObjects (the plugin)
    SIZE m_size = {0, 0};
    UINT m_dwTitleID;
    UINT m_dwHelpFileID = 0;
    UINT m_dwDocStringID = 0;
    DWORD m_dwHelpContext = 0;
    BOOL m_bDirty = FALSE;
    std::map<std::wstring, std::wstring> m_names; // the names of the feeds imported since the
                                                  // page was activated; Apply stores them
    HealthLine m_healthLine;
};

// Makes a new settings page (plain, or as the inner object of an aggregate) and asks it for
// riid.
HRESULT CreateVexaPluginPropertyPageInstance(IUnknown* outer, REFIID riid, void** ppv);

} // namespace vexa

// The sidebar's property frame: a dialog that hosts an object's property pages, one tab
// each, with OK, Cancel and Apply. A page that reports itself dirty enables Apply; Apply and
// OK store every dirty page through its Apply (OK closes only when all succeed); Cancel
// stores nothing. Keys go to the page first, Tab, Enter and Esc to the frame's dialog manager.
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <functional>
#include <string>
#include <vector>

#include "com/ptr.h"
#include "com/window.h"

namespace host {

class PropertyPageSite;

class PropertyFrame final : public vexa::WindowBase {
public:
    using Pages = std::vector<vexa::com_ptr<IPropertyPage>>;
    enum : int { IDC_APPLY = 0x3021, IDC_TABS = 0x3020 };

    // The pages that `object` names through ISpecifyPropertyPages, each created by its CLSID.
    static HRESULT PagesOf(IUnknown* object, Pages& pages);

    // The frame of `pages`, all showing `object`.
    PropertyFrame(std::wstring caption, IUnknown* object, Pages pages);
    ~PropertyFrame() override;

    // Gives the pages their site and object and shows the frame, owned by `owner` (may be
    // null) and centred on it, with the first page active. The window is modeless until
    // RunModal.
    HRESULT Create(HWND owner);
    // Keeps the owner disabled and runs the messages until OK or Cancel closes the frame;
    // `afterMessage` (may be empty) runs after each message. A WM_QUIT closes it as Cancel
    // and is posted again. Returns IDOK or IDCANCEL.
    int RunModal(const std::function<void()>& afterMessage);
    // Offers one message to the active page and the frame's dialog manager: true when taken.
    bool PreTranslate(MSG& msg);
    // Stores every dirty page; false (Apply stays enabled) when one fails.
    bool ApplyAll();
    // Deactivates and lets go of the pages and destroys the window.
    void Close();

    // The frame's result once closed: 0 while open, IDOK or IDCANCEL.
    int Result() const noexcept { return m_result; }

    // From the site: a page's status changed.
    void OnPageStatus(DWORD flags);

private:
    struct Page {
        vexa::com_ptr<IPropertyPage> page;
        std::wstring title;
        SIZE size{0, 0};
        HWND window = nullptr; // once activated
    };

    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    void OnInitDialog();
    void OnCommand(WORD id);
    // Lays out the tab control, the page area and the buttons, and sizes the frame.
    void Layout();
    void CenterOnOwner();
    // Shows page `index`, activating it the first time.
    void Select(int index);
    void UpdateApply();
    Page* Current();

    std::wstring m_caption;
    vexa::com_ptr<IUnknown> m_object;
    std::vector<Page> m_pages;
    vexa::com_ptr<PropertyPageSite> m_site;
    int m_current = -1;
    RECT m_pageArea{0, 0, 0, 0}; // in the frame's client coordinates
    int m_result = 0;
};

// Shows `object`'s property pages in a frame modal to `owner` until it is closed.
HRESULT ShowPropertyFrame(HWND owner, const wchar_t* caption, IUnknown* object,
                          const std::function<void()>& afterMessage = {});

} // namespace host

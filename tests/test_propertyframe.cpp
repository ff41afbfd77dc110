// The sidebar's property frame around the real settings page (under Xvfb, real registry):
// Apply follows the page's dirty state and stores through the page, Cancel stores nothing,
// OK stores and closes, and the pages are let go of at the end.
#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include "host/lib/hostlib.h"
#include "host/lib/propertyframe.h"
#include "resources/resource.h"
#include "settings/propertypages.h"
#include "userdata/registryhelper.h"
#include "tests/support/fixtures.h"

namespace {

using Pages = host::PropertyFrame::Pages;

class Frame : public vexatest::VexaTest {
protected:
    // A frame with one settings page, created and shown.
    void Open()
    {
        Pages pages(1);
        ASSERT_EQ(vexa::CreateVexaPluginPropertyPageInstance(nullptr, IID_IPropertyPage, pages[0].put_void()), S_OK);
        m_page = pages[0].get();
        m_frame.reset(new host::PropertyFrame(L"Vexa settings", nullptr, std::move(pages)));
        ASSERT_EQ(m_frame->Create(nullptr), S_OK);
        m_pageWindow = GetWindow(m_frame->Window(), GW_CHILD);
        ASSERT_NE(GetDlgItem(m_pageWindow, IDC_NEW_URL), nullptr) << "the page is the frame's first child";
    }
    void Add(const wchar_t* address)
    {
        SetDlgItemTextW(m_pageWindow, IDC_NEW_URL, address);
        SendMessageW(GetDlgItem(m_pageWindow, IDC_ADD), BM_CLICK, 0, 0);
    }
    void Press(int id) { SendMessageW(GetDlgItem(m_frame->Window(), id), BM_CLICK, 0, 0); }
    bool ApplyEnabled() { return IsWindowEnabled(GetDlgItem(m_frame->Window(), host::PropertyFrame::IDC_APPLY)) != FALSE; }
    std::vector<std::wstring> Stored()
    {
        vexa::CRegistryHelper store;
        store.LoadOrSeed();
        return store.List();
    }

    std::unique_ptr<host::PropertyFrame> m_frame;
    IPropertyPage* m_page = nullptr;
    HWND m_pageWindow = nullptr;
};

TEST_F(Frame, ApplyFollowsThePageAndStoresThroughItCancelStoresNothing)
{
    Open();
    const std::vector<std::wstring> before = Stored();
    EXPECT_FALSE(ApplyEnabled());
    EXPECT_EQ(GetWindowLongW(GetDlgItem(m_frame->Window(), IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON, BS_DEFPUSHBUTTON);

    Add(L"http://a.example/feed");
    EXPECT_TRUE(ApplyEnabled()) << "the page's OnStatusChange";
    Press(host::PropertyFrame::IDC_APPLY);
    EXPECT_FALSE(ApplyEnabled());
    EXPECT_EQ(m_page->IsPageDirty(), S_FALSE);
    std::vector<std::wstring> applied = Stored();
    EXPECT_EQ(applied.size(), before.size() + 1);
    EXPECT_EQ(m_frame->Result(), 0) << "Apply leaves the frame open";

    Add(L"http://b.example/feed");
    Press(IDCANCEL);
    EXPECT_EQ(m_frame->Result(), IDCANCEL);
    m_frame->Close();
    EXPECT_EQ(Stored(), applied);
    m_frame.reset();
    EXPECT_EQ(host::LiveObjects(), 0) << "the site is let go of";
    EXPECT_EQ(vexa::InstanceCounter<vexa::CVexaPluginPropertyPage>::Count(), 0);

    Open();
    Add(L"http://c.example/feed");
    Press(IDOK);
    EXPECT_EQ(m_frame->Result(), IDOK);
    m_frame.reset();
    EXPECT_EQ(Stored().size(), applied.size() + 1);
    EXPECT_EQ(vexa::InstanceCounter<vexa::CVexaPluginPropertyPage>::Count(), 0);
}

} // namespace

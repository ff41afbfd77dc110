// The host stand-in itself: the helpers are real aggregatable objects found through COM, keep
// what is put, fail on demand and leave nothing alive.
#include <windows.h>

#include <gtest/gtest.h>

#include "com/owners.h"
#include "com/ptr.h"
#include "tests/support/host_fixture.h"

using vexa::com_ptr;

namespace {

class HostStandIn : public vexatest::HostTest {};

TEST_F(HostStandIn, ItemHelperIsAggregatedThroughCoCreateInstance)
{
    vexatest::FakeOuter outer;
    com_ptr<IUnknown> inner;
    EXPECT_EQ(CoCreateInstance(CLSID_DisplayContentItemHelper, &outer, CLSCTX_INPROC,
                               IID_IDisplayContentItemHelper, inner.put_void()),
              CLASS_E_NOAGGREGATION);
    ASSERT_EQ(CoCreateInstance(CLSID_DisplayContentItemHelper, &outer, CLSCTX_INPROC, IID_IUnknown,
                               inner.put_void()), S_OK);
    com_ptr<IDisplayContentItemHelper> helper;
    ASSERT_EQ(inner->QueryInterface(IID_IDisplayContentItemHelper, helper.put_void()), S_OK);
    EXPECT_EQ(outer.refs, 2u); // the reference went to the controlling unknown

    vexa::unique_bstr empty;
    EXPECT_EQ(helper->get_snippet(empty.put()), S_OK);
    EXPECT_EQ(empty.get(), nullptr);
    vexa::unique_bstr text = vexa::unique_bstr::from(L"News:\nText");
    EXPECT_EQ(helper->put_snippet(text), S_OK);
    vexa::unique_bstr back;
    EXPECT_EQ(helper->get_snippet(back.put()), S_OK);
    EXPECT_EQ(back.str(), L"News:\nText");
    EXPECT_EQ(host::FindItemState(helper.get())->snippet.value(), L"News:\nText");

    helper.reset();
    EXPECT_EQ(outer.refs, 1u);
}

TEST_F(HostStandIn, PanelModelLogAndInjectedFailures)
{
    vexatest::FakeOuter outer;
    com_ptr<IUnknown> inner;
    ASSERT_EQ(CoCreateInstance(CLSID_DisplayPluginHelper, &outer, CLSCTX_INPROC, IID_IUnknown,
                               inner.put_void()), S_OK);
    com_ptr<IDisplayPluginHelper> helper;
    ASSERT_EQ(inner->QueryInterface(IID_IDisplayPluginHelper, helper.put_void()), S_OK);

    vexa::unique_bstr title = vexa::unique_bstr::from(L"A  B");
    EXPECT_EQ(helper->put_title(title), S_OK);
    Host().failOn(L"put_title", E_ACCESSDENIED);
    vexa::unique_bstr other = vexa::unique_bstr::from(L"C");
    EXPECT_EQ(helper->put_title(other), E_ACCESSDENIED);
    EXPECT_EQ(Panel().title.value(), L"A  B"); // a failed call changes nothing
    EXPECT_EQ(helper->SetDisplayFlags(0, 1), S_OK);

    com_ptr<IUnknown> item;
    ASSERT_EQ(CoCreateInstance(CLSID_DisplayContentItemHelper, nullptr, CLSCTX_INPROC, IID_IUnknown,
                               item.put_void()), S_OK);
    EXPECT_EQ(helper->AddContentItem(item, 9), S_OK);
    ASSERT_EQ(Panel().items.size(), 1u);
    EXPECT_EQ(Panel().items[0].addFlags, 9);
    EXPECT_EQ(helper->RemoveAllContentItems(), S_OK);
    EXPECT_TRUE(Panel().items.empty());
    EXPECT_EQ(Panel().clears, 1);

    const std::vector<std::wstring> expected = {
        L"put_title(A  B)", L"put_title(C)", L"SetDisplayFlags(0, 1)", L"AddContentItem(9)",
        L"RemoveAllContentItems()"};
    EXPECT_EQ(Host().log(), expected);

    com_ptr<IDisplaySite> site;
    ASSERT_EQ(host::CreateSite(IID_IDisplaySite, site.put_void()), S_OK);
    long state = 0;
    Host().setDisplayState(2);
    EXPECT_EQ(site->get_display_state(&state), S_OK);
    EXPECT_EQ(state, 2);
    Host().failOn(L"get_display_state", E_FAIL);
    EXPECT_EQ(site->get_display_state(&state), E_FAIL);

}

} // namespace

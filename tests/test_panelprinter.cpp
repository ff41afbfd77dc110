// What the sidebar prints of the panel: driven through the host's real helper objects, the
// way a plugin changes the panel.
#include <windows.h>

#include <gtest/gtest.h>

#include "com/check.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "host/lib/panelprinter.h"
#include "tests/support/host_fixture.h"

using vexa::com_ptr;
using vexa::unique_bstr;

namespace {

class PanelPrinting : public vexatest::HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        ASSERT_EQ(CoCreateInstance(CLSID_DisplayPluginHelper, nullptr, CLSCTX_INPROC,
                                   IID_IDisplayPluginHelper, m_helper.put_void()), S_OK);
        Attach(false);
    }
    void TearDown() override
    {
        Host().setObserver(nullptr);
        m_helper.reset();
        Host().reset();
        m_printer.reset();
        HostTest::TearDown();
    }
    void Attach(bool allCalls)
    {
        m_printer = std::make_unique<host::PanelPrinter>(
            [this](const std::string& text) { m_out += text; }, allCalls);
        Host().setObserver([this](const std::wstring& line) { m_printer->OnCall(line); });
    }
    // The output so far, emptied.
    std::string Take() { return std::exchange(m_out, std::string()); }
    // The output once what is pending has been printed, emptied.
    std::string Flushed() { return m_printer->Flush(), Take(); }

    // An item with the given texts, handed to the panel as a plugin does.
    HRESULT AddItem(const wchar_t* heading, const wchar_t* source, const wchar_t* snippet, DATE time)
    {
        com_ptr<IDisplayContentItemHelper> item;
        HRESULT hr = host::CreateContentItemHelper(nullptr, IID_IDisplayContentItemHelper, item.put_void());
        if (VEXA_FAILED(hr)) return hr;
        if (heading) item->put_heading(unique_bstr::from(heading));
        if (source) item->put_source(unique_bstr::from(source));
        if (snippet) item->put_snippet(unique_bstr::from(snippet));
        if (time) item->put_time_created(time);
        return m_helper->AddContentItem(item.get(), 9);
    }

    com_ptr<IDisplayPluginHelper> m_helper;
    std::unique_ptr<host::PanelPrinter> m_printer;
    std::string m_out;
};

// 2024-03-01 12:30:15 as an OLE date.
DATE March1st()
{
    SYSTEMTIME st = {2024, 3, 5, 1, 12, 30, 15, 0};
    DATE date = 0;
    SystemTimeToVariantTime(&st, &date);
    return date;
}

TEST_F(PanelPrinting, PluginPropertiesArePrintedAsTheyAreSet)
{
    EXPECT_EQ(m_helper->put_title(unique_bstr::from(L"Cindral  Plugin")), S_OK);
    EXPECT_EQ(m_helper->put_about_text(unique_bstr::from(L"Shows feeds.\nVersion 1")), S_OK);
    EXPECT_EQ(m_helper->SetDisplayFlags(0, 1), S_OK);
    EXPECT_EQ(m_helper->SetIcons(nullptr, nullptr), S_OK);
    EXPECT_EQ(Take(), "title: Cindral  Plugin\n"
                      "about: Shows feeds.\n"
                      "       Version 1\n"
                      "display flags, mask: 0, 1\n"
                      "icons (small, large): null, null\n");
}

TEST_F(PanelPrinting, ItemsArePrintedOnceInPanelOrderAndRenumberedAfterAClearing)
{
    ASSERT_EQ(AddItem(L"First: ", L"Body one", L"First:\nBody one\n\nhttp://a.example/1", March1st()), S_OK);
    // The item is in the panel only once AddContentItem has returned: printed at the next
    // call or flush, not before.
    EXPECT_EQ(Take(), "");
    ASSERT_EQ(AddItem(L"Second: ", L"Body two", L"Second:\nBody two\n\nhttp://a.example/2", March1st()), S_OK);
    EXPECT_EQ(Flushed(), "[1] First: \n"
                      "    source:  Body one\n"
                      "    snippet: First:\n"
                      "             Body one\n"
                      "             \n"
                      "             http://a.example/1\n"
                      "    time:    2024-03-01 12:30:15 UTC\n"
                      "[2] Second: \n"
                      "    source:  Body two\n"
                      "    snippet: Second:\n"
                      "             Body two\n"
                      "             \n"
                      "             http://a.example/2\n"
                      "    time:    2024-03-01 12:30:15 UTC\n");
    EXPECT_EQ(Flushed(), "");

    // A clearing, then a new item: it is item 1 again, and the old ones are not reprinted.
    ASSERT_EQ(m_helper->RemoveAllContentItems(), S_OK);
    ASSERT_EQ(AddItem(L"Third: ", L"Body three", L"Third:", March1st()), S_OK);
    EXPECT_EQ(Flushed(), "-- panel cleared --\n"
                      "[1] Third: \n"
                      "    source:  Body three\n"
                      "    snippet: Third:\n"
                      "    time:    2024-03-01 12:30:15 UTC\n");

    // Two clearings between prints are both shown.
    ASSERT_EQ(m_helper->RemoveAllContentItems(), S_OK);
    ASSERT_EQ(m_helper->RemoveAllContentItems(), S_OK);
    EXPECT_EQ(Flushed(), "-- panel cleared --\n-- panel cleared --\n");
}

TEST_F(PanelPrinting, RefusedCallsChangeNothingThatIsPrinted)
{
    ASSERT_EQ(AddItem(L"Kept: ", L"b", L"s", March1st()), S_OK);
    Flushed();
    Host().failOn(L"RemoveAllContentItems", E_FAIL);
    EXPECT_EQ(m_helper->RemoveAllContentItems(), E_FAIL);
    Host().failOn(L"AddContentItem", E_FAIL);
    EXPECT_EQ(AddItem(L"Refused: ", L"b", L"s", March1st()), E_FAIL);
    EXPECT_EQ(Flushed(), "");
    ASSERT_EQ(Panel().items.size(), 1u);
}

TEST_F(PanelPrinting, MissingPropertiesTextsAndDates)
{
    ASSERT_EQ(AddItem(nullptr, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(Flushed(), "[1] (not set)\n"
                      "    source:  (not set)\n"
                      "    snippet: (not set)\n"
                      "    time:    (not set)\n");

    // Wide text goes out as UTF-8; carriage returns do not reach the terminal.
    ASSERT_EQ(AddItem(L"Caf\u00e9 \u2615: ", L"line\r\nnext", L"x", March1st()), S_OK);
    EXPECT_EQ(Flushed(), "[2] Caf\xc3\xa9 \xe2\x98\x95: \n"
                      "    source:  line\n"
                      "             next\n"
                      "    snippet: x\n"
                      "    time:    2024-03-01 12:30:15 UTC\n");

    EXPECT_EQ(host::FormatDate(March1st()), L"2024-03-01 12:30:15");
    EXPECT_EQ(host::FormatDate(1e10), L"(invalid date)");
    EXPECT_EQ(host::Utf8(std::wstring(1, wchar_t(0xD800))), "\xef\xbf\xbd");
}

TEST_F(PanelPrinting, ListAndAllCalls)
{
    Attach(true);
    EXPECT_EQ(m_helper->put_title(unique_bstr::from(L"T")), S_OK);
    EXPECT_EQ(Take(), "  call: put_title(T)\ntitle: T\n");
    Attach(false);
    m_printer->PrintPanel();
    EXPECT_EQ(Take(), "title: T\n(no items)\n");
    ASSERT_EQ(AddItem(L"A: ", L"b", L"s", March1st()), S_OK);
    m_printer->PrintPanel();
    // The item is printed as it arrives, then again in the listing.
    std::string out = Take();
    EXPECT_EQ(out.find("[1] A: "), 0u);
    EXPECT_NE(out.find("title: T\n[1] A: "), std::string::npos);
}

} // namespace

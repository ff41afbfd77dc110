#include "tests/support/feedlist_fixture.h"

#include "resources/resource.h"
#include "userdata/registryhelper.h"

namespace vexatest {
namespace {

const wchar_t kPath[] = L"SOFTWARE\\Orvall\\Halvane\\Destinatons";
std::vector<FeedListTest::Box> g_boxes;
vexa::WarningBoxFn g_oldBox = nullptr;

int CaptureBox(HWND, const wchar_t* text, const wchar_t* caption, UINT type)
{
    g_boxes.push_back({text, caption, type});
    return IDOK;
}

} // namespace

void FeedListTest::SetUp()
{
    VexaTest::SetUp();
    g_boxes.clear();
    g_oldBox = vexa::SetWarningBoxFn(CaptureBox);
    wchar_t text[600] = {};
    LoadStringW(GetModuleHandleW(nullptr), IDS_DEFAULT_DEST, text, 600);
    m_default = text;
    ASSERT_FALSE(m_default.empty());
}

void FeedListTest::TearDown()
{
    vexa::SetWarningBoxFn(g_oldBox);
    VexaTest::TearDown();
}

std::vector<FeedListTest::Box>& FeedListTest::Boxes() { return g_boxes; }

vexa::unique_hkey FeedListTest::Key(bool create)
{
    vexa::unique_hkey key;
    if (create)
        RegCreateKeyExW(HKEY_CURRENT_USER, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    else
        RegOpenKeyExW(HKEY_CURRENT_USER, kPath, 0, KEY_READ, key.put());
    return key;
}

void FeedListTest::PutRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
{
    ASSERT_EQ(RegSetValueExW(Key().get(), name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
}

void FeedListTest::Put(const wchar_t* name, const std::wstring& text, DWORD type)
{
    PutRaw(name, type, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)));
}

void FeedListTest::Store(const List& values)
{
    for (std::size_t i = 0; i < values.size(); ++i)
        Put((L"dest[" + std::to_wstring(i) + L"]").c_str(), values[i]);
}

FeedListTest::List FeedListTest::Stored()
{
    List out;
    vexa::unique_hkey key = Key(false);
    if (!key) return out;
    DWORD values = 0;
    RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    for (DWORD i = 0; i < values; ++i) {
        std::wstring name = L"dest[" + std::to_wstring(i) + L"]";
        wchar_t data[1024] = {};
        DWORD bytes = sizeof data - sizeof(wchar_t);
        EXPECT_EQ(RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &bytes),
                  ERROR_SUCCESS)
            << Narrow(name);
        out.push_back(data);
    }
    return out;
}

void FeedListTest::MakeKeyUncreatable()
{
    vexa::unique_hkey parent;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Orvall", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, parent.put(), nullptr),
              ERROR_SUCCESS);
}

} // namespace vexatest

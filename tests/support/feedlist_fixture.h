// The feed list's registry key in tests: its values written and read directly, the warning
// boxes the store shows captured, and the default address.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "com/owners.h"
#include "resources/resource.h"
#include "userdata/registryhelper.h"
#include "tests/support/fixtures.h"

namespace vexatest {

class FeedListTest : public VexaTest {
public:
    using List = std::vector<std::wstring>;
    struct Box {
        std::wstring text, caption;
        UINT type;
    };
    // The warning boxes shown since the test began (or the last clear).
    static std::vector<Box>& Boxes()
    {
        static std::vector<Box> boxes;
        return boxes;
    }

protected:
    void SetUp() override
    {
        VexaTest::SetUp();
        Boxes().clear();
        m_oldBox = vexa::SetWarningBoxFn([](HWND, const wchar_t* text, const wchar_t* caption, UINT type) {
            Boxes().push_back({text, caption, type});
            return IDOK;
        });
        wchar_t text[600] = {};
        LoadStringW(GetModuleHandleW(nullptr), IDS_DEFAULT_DEST, text, 600);
        m_default = text;
        ASSERT_FALSE(m_default.empty());
    }
    void TearDown() override
    {
        vexa::SetWarningBoxFn(m_oldBox);
        VexaTest::TearDown();
    }

    // The feed-list key, created if asked.
    vexa::unique_hkey Key(bool create = true)
    {
        vexa::unique_hkey key;
        if (create)
            RegCreateKeyExW(HKEY_CURRENT_USER, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
        else
            RegOpenKeyExW(HKEY_CURRENT_USER, kPath, 0, KEY_READ, key.put());
        return key;
    }
    void PutRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(RegSetValueExW(Key().get(), name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    }
    void Put(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ)
    {
        PutRaw(name, type, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)));
    }
    // Writes values dest[0], dest[1], ... as given.
    void Store(const List& values)
    {
        for (std::size_t i = 0; i < values.size(); ++i)
            Put((L"dest[" + std::to_wstring(i) + L"]").c_str(), values[i]);
    }
    // Every value of the key, which must all be dest[0], dest[1], ... in order.
    List Stored()
    {
        List out;
        vexa::unique_hkey key = Key(false);
        DWORD values = 0;
        if (!key || RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                     nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return out;
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
    // Makes the key impossible to open or create: a volatile parent refuses the
    // non-volatile child that the store asks for.
    void MakeKeyUncreatable()
    {
        vexa::unique_hkey parent;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Orvall", 0, nullptr, REG_OPTION_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, parent.put(), nullptr),
                  ERROR_SUCCESS);
    }

    static constexpr const wchar_t* kPath = L"SOFTWARE\\Orvall\\Halvane\\Destinatons";
    std::wstring m_default; // the address a new list starts with
    vexa::WarningBoxFn m_oldBox = nullptr;
};

} // namespace vexatest

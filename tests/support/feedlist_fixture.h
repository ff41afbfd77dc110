// The feed list's registry key in tests: its values written and read directly, the warning
// boxes the store shows captured, and the default address.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "com/owners.h"
#include "tests/support/fixtures.h"

namespace vexatest {

class FeedListTest : public VexaTest {
public:
    using List = std::vector<std::wstring>;
    struct Box {
        std::wstring text, caption;
        UINT type;
    };

protected:
    void SetUp() override;
    void TearDown() override;

    // The warning boxes shown since the test began (or the last clear).
    static std::vector<Box>& Boxes();
    // The feed-list key, created if asked.
    vexa::unique_hkey Key(bool create = true);
    void PutRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes);
    void Put(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ);
    // Writes values dest[0], dest[1], ... as given.
    void Store(const List& values);
    // Every value of the key, which must all be dest[0], dest[1], ... in order.
    List Stored();
    // Makes the key impossible to open or create: a volatile parent refuses the
    // non-volatile child that the store asks for.
    void MakeKeyUncreatable();

    std::wstring m_default; // the address a new list starts with
};

} // namespace vexatest

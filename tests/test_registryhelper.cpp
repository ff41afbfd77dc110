// The feed list store against the real registry (HKEY_CURRENT_USER redirected per test).
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "userdata/registryhelper.h"
#include "tests/support/feedlist_fixture.h"

using namespace vexa;

namespace {

class FeedListStore : public vexatest::FeedListTest {
protected:
    // Reads the list as every client does.
    std::vector<std::wstring> ReadList()
    {
        CRegistryHelper store;
        store.Load();
        if (store.List().empty()) {
            store.Save();
            store.Load();
        }
        return store.List();
    }

    // Value names and texts of the key, in enumeration order, and its subkey count.
    std::vector<std::pair<std::wstring, std::wstring>> Values(DWORD* subkeys = nullptr)
    {
        std::vector<std::pair<std::wstring, std::wstring>> out;
        vexa::unique_hkey key = Key(false);
        if (!key) return out;
        for (DWORD i = 0;; ++i) {
            wchar_t name[64];
            DWORD nameLen = 64, type = 0;
            BYTE data[4096];
            DWORD bytes = sizeof data;
            if (RegEnumValueW(key.get(), i, name, &nameLen, nullptr, &type, data, &bytes) !=
                ERROR_SUCCESS)
                break;
            EXPECT_EQ(type, DWORD(REG_SZ)) << vexatest::Narrow(name);
            out.emplace_back(name, std::wstring(reinterpret_cast<wchar_t*>(data),
                                                bytes / sizeof(wchar_t)));
        }
        if (subkeys)
            RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, subkeys, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr);
        return out;
    }
};

TEST_F(FeedListStore, NewStoreHoldsTheDefaultAndValueNames)
{
    CRegistryHelper store;
    EXPECT_EQ(store.List(), List{m_default});
    EXPECT_EQ(store.OpenedKey(), nullptr);
    for (int i : {0, 99, 100}) EXPECT_EQ(store.GetValueName(i), L"dest[" + std::to_wstring(i) + L"]");
}

TEST_F(FeedListStore, EmptyRegistryGivesTheDefaultAndAnEmptyKey)
{
    EXPECT_EQ(ReadList(), List{m_default});
    DWORD subkeys = 99;
    EXPECT_TRUE(Key(false));
    EXPECT_TRUE(Values(&subkeys).empty());
    EXPECT_EQ(subkeys, 0u);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(m_channels->reports().empty());
}

TEST_F(FeedListStore, StoredEntriesFollowTheDefaultWithoutDuplicates)
{
    Store({L"http://a.example/rss", L"http://b.example/rss"});
    EXPECT_EQ(ReadList(), (List{m_default, L"http://a.example/rss", L"http://b.example/rss"}));

    // The default again with other ASCII case, an empty string, a REG_EXPAND_SZ taken as
    // stored, a duplicate of B; non-ASCII letters that differ in case stay apart.
    std::wstring upperDefault = m_default;
    for (auto& c : upperDefault) c = towupper(c);
    ASSERT_NE(upperDefault, m_default);
    Put(L"dest[0]", upperDefault);
    Put(L"dest[2]", L"");
    Put(L"dest[3]", L"http://%TEMP%/rss", REG_EXPAND_SZ);
    Put(L"dest[4]", L"HTTP://B.EXAMPLE/RSS");
    Put(L"dest[5]", L"http://x.example/\u00e9");
    Put(L"dest[6]", L"http://x.example/\u00c9");
    EXPECT_EQ(ReadList(), (List{m_default, L"http://b.example/rss", L"http://%TEMP%/rss",
                                L"http://x.example/\u00e9", L"http://x.example/\u00c9"}));
}

TEST_F(FeedListStore, UnreadableValueEndsTheReading)
{
    const DWORD dword = 7;
    const wchar_t multi[] = L"http://m.example/\0\0";
    // The system adds a NUL the caller forgot when the next unit in memory is one, so the
    // unterminated text is followed by another character.
    const wchar_t noNul[] = L"http://n.example/!";
    const wchar_t odd[] = L"http://o.example/";
    struct Bad {
        const char* what;
        DWORD type;
        const void* data;
        DWORD bytes;
    } cases[] = {
        {"missing", REG_NONE, nullptr, 0},
        {"REG_DWORD", REG_DWORD, &dword, sizeof dword},
        {"REG_BINARY", REG_BINARY, noNul, sizeof noNul},
        {"REG_MULTI_SZ", REG_MULTI_SZ, multi, sizeof multi},
        {"no terminating NUL", REG_SZ, noNul, sizeof noNul - 2 * sizeof(wchar_t)},
        {"odd byte length", REG_SZ, odd, sizeof odd - 1},
        {"no data at all", REG_SZ, noNul, 0},
    };
    for (const Bad& bad : cases) {
        SCOPED_TRACE(bad.what);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE");
        Put(L"dest[0]", L"http://a.example/rss");
        if (bad.type != REG_NONE)
            PutRaw(L"dest[1]", bad.type, bad.data, bad.bytes);
        Put(L"dest[2]", L"http://c.example/rss");
        EXPECT_EQ(ReadList(), (List{m_default, L"http://a.example/rss"}));
    }
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(FeedListStore, OverLongAddressIsSkippedAndReadingGoesOn)
{
    const std::wstring longest = L"http://l.example/" + std::wstring(554 - 17, L'x'); // 555 units with its NUL
    const std::wstring tooLong = longest + L"y";
    Store({L"http://a.example/rss", tooLong});
    Put(L"dest[2]", longest, REG_EXPAND_SZ);
    Put(L"dest[3]", tooLong + std::wstring(2000, L'z'), REG_EXPAND_SZ);
    Put(L"dest[4]", L"http://c.example/rss");
    EXPECT_EQ(ReadList(), (List{m_default, L"http://a.example/rss", longest, L"http://c.example/rss"}));
}

TEST_F(FeedListStore, SaveLeavesExactlyTheEntries)
{
    for (const auto& [name, text] : {std::pair{L"dest[0]", L"old0"}, {L"dest[5]", L"old5"}, {L"other", L"foreign"}}) Put(name, text);
    vexa::unique_hkey sub;
    RegCreateKeyExW(Key().get(), L"sub\\deeper\\deepest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.put(), nullptr);
    sub.reset();

    CRegistryHelper store;
    store.SetList({L"http://b.example/", L"", L"http://b.example/"});
    store.Save();
    EXPECT_EQ(store.OpenedKey(), nullptr);

    DWORD subkeys = 99;
    auto values = Values(&subkeys);
    EXPECT_EQ(subkeys, 0u);
    ASSERT_EQ(values.size(), 3u);
    // Data is the text with exactly one NUL.
    EXPECT_EQ(values[0], std::make_pair(std::wstring(L"dest[0]"), std::wstring(L"http://b.example/", 18)));
    EXPECT_EQ(values[1], std::make_pair(std::wstring(L"dest[1]"), std::wstring(L"", 1)));
    EXPECT_EQ(values[2].first, L"dest[2]");

    // Stored twice, read once; the default is back at the front although not saved.
    EXPECT_EQ(ReadList(), (List{m_default, L"http://b.example/"}));

    store.SetList({});
    store.Save();
    EXPECT_TRUE(Key(false));
    EXPECT_TRUE(Values().empty());
    EXPECT_TRUE(m_channels->reports().empty());
}

TEST_F(FeedListStore, AtMostOneHundredEntries)
{
    CRegistryHelper store;
    store.AddDest(L"");
    EXPECT_EQ(store.List().size(), 1u);
    for (int i = 1; i < 120; ++i)
        store.AddDest(L"http://f.example/" + std::to_wstring(i));
    ASSERT_EQ(store.List().size(), 100u);
    EXPECT_EQ(store.List()[99], L"http://f.example/99");

    // Values past dest[99] are never read, and a full list takes no more.
    for (int i = 0; i < 110; ++i)
        Put(store.GetValueName(i).c_str(), L"http://s.example/" + std::to_wstring(i));
    List list = ReadList();
    ASSERT_EQ(list.size(), 100u);
    EXPECT_EQ(list.front(), m_default);
    EXPECT_EQ(list.back(), L"http://s.example/98");

    // Save never writes past dest[99], however long the list handed over.
    store.SetList(List(150, L"http://g.example/"));
    store.Save();
    auto values = Values();
    ASSERT_EQ(values.size(), 100u);
}

TEST_F(FeedListStore, KeyThatCannotBeCreatedWarnsAndKeepsTheMemoryList)
{
    MakeKeyUncreatable();
    {
        CRegistryHelper store;
        store.Load();
        EXPECT_EQ(store.List(), List{m_default});
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Boxes()[0].text, L"Can not create key SOFTWARE\\Orvall\\Halvane\\Destinatons");
        EXPECT_EQ(Boxes()[0].caption, L"ERROR");
        EXPECT_EQ(Boxes()[0].type, UINT(MB_OK | MB_ICONWARNING));
        EXPECT_EQ(m_channels->reports(), std::vector<std::string>{"m_RegKey.m_hKey"});

        Boxes().clear();
        m_channels->clear();
        store.Save();
        EXPECT_EQ(Boxes().size(), 2u);
        // Once while clearing, once while writing, once after the write of dest[0].
        EXPECT_EQ(m_channels->reports().size(), 3u);
    }
    EXPECT_FALSE(Key(false));
}

} // namespace

// The feed list store: up to 100 feed addresses (destinations) kept under
// HKEY_CURRENT_USER\SOFTWARE\Orvall\Halvane\Destinatons as values dest[0], dest[1], ...
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "com/owners.h"

namespace vexa {

class CRegistryHelper {
public:
    static constexpr int kMaxDest = 100;
    static constexpr DWORD kMaxValueUnits = 555; // including the terminating NUL
    static const wchar_t kKeyPath[];

    CRegistryHelper();
    ~CRegistryHelper() = default;
    CRegistryHelper(const CRegistryHelper&) = delete;
    CRegistryHelper& operator=(const CRegistryHelper&) = delete;

    void OpenKey();
    void ClearKey();
    void Load();
    void Save();
    // Load, and when that leaves the list empty, stores it once and loads again.
    void LoadOrSeed();
    void AddDest(std::wstring sDest);
    std::wstring GetValueName(int i) const;

    // The addresses in the slots, in order.
    std::vector<std::wstring> List() const;
    // Puts the addresses into the slots as given (blank ones and repeats included, as the
    // settings page's list holds them), at most kMaxDest; Save stores them.
    void SetList(const std::vector<std::wstring>& list);
    // The feed-list key while it is open (after Load), else null.
    HKEY OpenedKey() const noexcept { return m_RegKey.get(); }

private:
    // Whether the key is open; reports "m_RegKey.m_hKey" when it is not.
    bool VerifyKeyOpen() const noexcept;

    vexa::unique_hkey m_RegKey;
    std::wstring m_sDest[kMaxDest];
    int m_nDestCount = 0;
};

// The warning shown when the key can be neither opened nor created goes through this
// function, so tests can see it without a message box on the screen.
using WarningBoxFn = int (*)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
WarningBoxFn SetWarningBoxFn(WarningBoxFn fn);
// The settings page's other messages go through the same function.
int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);

} // namespace vexa

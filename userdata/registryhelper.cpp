#include "userdata/registryhelper.h"

#include <atomic>
#include <cwchar>

#include "com/check.h"
#include "com/module.h"
#include "com/text.h"
#include "resources/resource.h"

namespace vexa {

const wchar_t CRegistryHelper::kKeyPath[] = L"SOFTWARE\\Orvall\\Halvane\\Destinatons";

namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;
constexpr DWORD kMaxSubkeyName = 256;

int DefaultWarningBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type)
{
    return MessageBoxW(owner, text, caption, type);
}

std::atomic<WarningBoxFn> g_warningBox{DefaultWarningBox};

// Deletes parent\name with everything below it. Stops (returns false) when a subkey cannot
// be deleted, so a protected subkey cannot keep the loop taking the same first subkey.
bool DeleteKeyTree(HKEY parent, const wchar_t* name)
{
    vexa::unique_hkey owner;
    if (RegOpenKeyExW(parent, name, 0, kAccess, owner.put()) != ERROR_SUCCESS)
        return false;
    HKEY key = owner.get();
    for (;;) {
        wchar_t szSub[kMaxSubkeyName + 1];
        DWORD nSubLen = kMaxSubkeyName + 1;
        if (RegEnumKeyExW(key, 0, szSub, &nSubLen, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        if (!DeleteKeyTree(key, szSub))
            return false;
    }
    owner.reset();
    return RegDeleteKeyW(parent, name) == ERROR_SUCCESS;
}

} // namespace

WarningBoxFn SetWarningBoxFn(WarningBoxFn fn)
{
    return g_warningBox.exchange(fn ? fn : DefaultWarningBox);
}

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type)
{
    return g_warningBox.load()(owner, text, caption, type);
}

CRegistryHelper::CRegistryHelper()
{
    AddDest(vexa::LoadResourceString(IDS_DEFAULT_DEST));
}

void CRegistryHelper::OpenKey()
{
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, kAccess, m_RegKey.put()) == ERROR_SUCCESS)
        return;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, kAccess,
                        nullptr, m_RegKey.put(), nullptr) == ERROR_SUCCESS)
        return;
    m_RegKey.reset();
    std::wstring sText = L"Can not create key ";
    sText += kKeyPath;
    g_warningBox.load()(nullptr, sText.c_str(), L"ERROR", MB_OK | MB_ICONWARNING);
}

void CRegistryHelper::ClearKey()
{
    OpenKey();
    VerifyKeyOpen();
    DeleteKeyTree(HKEY_CURRENT_USER, kKeyPath);
    if (m_RegKey)
        RegFlushKey(m_RegKey.get());
    m_RegKey.reset();
}

void CRegistryHelper::Save()
{
    ClearKey();
    OpenKey();
    VerifyKeyOpen();
    for (int i = 0; i < m_nDestCount; ++i) {
        std::wstring sKeyName = GetValueName(i);
        const std::wstring& sKeyValue = m_sDest[i];
        if (m_RegKey)
            RegSetValueExW(m_RegKey.get(), sKeyName.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(sKeyValue.c_str()),
                           static_cast<DWORD>((sKeyValue.size() + 1) * sizeof(wchar_t)));
        VerifyKeyOpen();
    }
    if (m_RegKey)
        RegFlushKey(m_RegKey.get());
    m_RegKey.reset();
}

void CRegistryHelper::Load()
{
    OpenKey();
    if (!VerifyKeyOpen())
        return; // every read would fail at dest[0]
    for (int i = 0; i < kMaxDest; ++i) {
        std::wstring sName = GetValueName(i);
        DWORD nType = 0;
        DWORD nValueLen = 0;
        if (RegQueryValueExW(m_RegKey.get(), sName.c_str(), nullptr, &nType, nullptr,
                             &nValueLen) != ERROR_SUCCESS)
            break;
        if (nType != REG_SZ && nType != REG_EXPAND_SZ)
            break;
        // An address too long to read back is skipped, so it cannot hide the ones after it.
        if (nValueLen > kMaxValueUnits * sizeof(wchar_t))
            continue;
        wchar_t sValue[kMaxValueUnits];
        nValueLen = sizeof sValue;
        if (RegQueryValueExW(m_RegKey.get(), sName.c_str(), nullptr, &nType,
                             reinterpret_cast<BYTE*>(sValue), &nValueLen) != ERROR_SUCCESS)
            break;
        if (nType != REG_SZ && nType != REG_EXPAND_SZ)
            break;
        if (nValueLen == 0 || nValueLen % sizeof(wchar_t) != 0)
            break;
        DWORD nUnits = nValueLen / sizeof(wchar_t);
        if (sValue[nUnits - 1] != L'\0')
            break;
        AddDest(std::wstring(sValue, wcsnlen(sValue, nUnits)));
    }
}

void CRegistryHelper::LoadOrSeed()
{
    Load();
    if (m_nDestCount < 1) {
        Save();
        Load();
    }
}

void CRegistryHelper::AddDest(std::wstring sDest)
{
    if (sDest.empty())
        return;
    for (int i = 0; i < m_nDestCount; ++i)
        if (EqualIgnoringAsciiCase(m_sDest[i], sDest))
            return;
    if (m_nDestCount >= kMaxDest)
        return; // the list is full: a 101st entry is refused
    m_sDest[m_nDestCount] = std::move(sDest);
    ++m_nDestCount;
}

std::vector<std::wstring> CRegistryHelper::List() const
{
    return std::vector<std::wstring>(m_sDest, m_sDest + m_nDestCount);
}

void CRegistryHelper::SetList(const std::vector<std::wstring>& list)
{
    // Never more than the slots: Save writes dest[0] to dest[99] at most.
    m_nDestCount = static_cast<int>(list.size() < kMaxDest ? list.size() : kMaxDest);
    for (int i = 0; i < m_nDestCount; ++i)
        m_sDest[i] = list[i];
}

bool CRegistryHelper::VerifyKeyOpen() const noexcept
{
    // The report names the key as its wrapper and handle ("m_RegKey.m_hKey").
    return vexa::Verify(m_RegKey.get() != nullptr, __FILE__, __LINE__, "m_RegKey.m_hKey");
}

std::wstring CRegistryHelper::GetValueName(int i) const
{
    std::wstring sName = L"dest[" + std::to_wstring(i) + L"]";
    return sName;
}

} // namespace vexa

#include "com/typelibreg.h"

#include <oleauto.h>
#include <new>

#include "com/check.h"
#include "com/module.h"
#include "com/owners.h"
#include "com/ptr.h"

namespace vexa {

std::wstring HelpDirectoryOf(const std::wstring& path)
{
    std::size_t last = path.find_last_of(L"\\/:");
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last + 1);
}

namespace {

// HKCR\TypeLib\{libid}\major.minor (hexadecimal version numbers).
bool IsTypeLibVersionRegistered(REFGUID libid, WORD major, WORD minor)
{
    wchar_t guid[40];
    if (StringFromGUID2(libid, guid, 40) == 0) return true;
    wchar_t path[96];
    wsprintfW(path, L"TypeLib\\%s\\%x.%x", guid, major, minor);
    unique_hkey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, key.put()) != ERROR_FILE_NOT_FOUND;
}

} // namespace

HRESULT LoadModuleTypeLib(HINSTANCE module, ITypeLib** lib, std::wstring* loadedFrom) noexcept
{
    if (!lib || !loadedFrom) return E_POINTER;
    *lib = nullptr;
    VEXA_TRY
        std::wstring path;
        VEXA_RETURN_IF_FAILED(ModuleFileName(module, &path));
        // Handed out only once everything else has succeeded.
        com_ptr<ITypeLib> loaded;
        HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, loaded.put());
        if (VEXA_FAILED(hr)) {
            // The extension is what follows the last dot of the file name, if any.
            std::size_t dot = path.find_last_of(L'.');
            std::size_t slash = path.find_last_of(L"\\/:");
            if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
                path.erase(dot);
            path += L".tlb";
            VEXA_RETURN_IF_FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, loaded.put()));
        }
        *loadedFrom = path;
        *lib = loaded.detach();
        return S_OK;
    VEXA_COM_CATCH
}

namespace {

// Loads the module's type library and hands it, with the file it came from, to use.
template <typename Use>
HRESULT WithModuleTypeLib(HINSTANCE module, Use use) noexcept
{
    VEXA_TRY
        com_ptr<ITypeLib> lib;
        std::wstring path;
        VEXA_RETURN_IF_FAILED(LoadModuleTypeLib(module, lib.put(), &path));
        return use(lib.get(), path);
    VEXA_COM_CATCH
}

} // namespace

HRESULT RegisterModuleTypeLib(HINSTANCE module) noexcept
{
    return WithModuleTypeLib(module, [](ITypeLib* lib, std::wstring& path) {
        std::wstring helpDir = HelpDirectoryOf(path);
        return RegisterTypeLib(lib, &path[0], helpDir.empty() ? nullptr : &helpDir[0]);
    });
}

HRESULT UnregisterModuleTypeLib(HINSTANCE module) noexcept
{
    return WithModuleTypeLib(module, [](ITypeLib* lib, std::wstring&) {
        TLIBATTR* attr = nullptr;
        VEXA_RETURN_IF_FAILED(lib->GetLibAttr(&attr));
        HRESULT hr = S_OK;
        // A library that is not registered (unregistering twice) leaves nothing to remove.
        if (IsTypeLibVersionRegistered(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum))
            hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                   attr->syskind);
        lib->ReleaseTLibAttr(attr);
        return hr;
    });
}

} // namespace vexa

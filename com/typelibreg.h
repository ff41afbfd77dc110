// Registration of the module's type library (TYPELIB 1 in the module, or the ".tlb" file
// beside it).
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <string>

namespace vexa {

// Loads the library from the module file, falling back to the module path with its
// extension replaced by ".tlb". On success *loadedFrom is the file it came from.
HRESULT LoadModuleTypeLib(HINSTANCE module, ITypeLib** lib, std::wstring* loadedFrom) noexcept;

// Registers it with the file it came from and, as help directory, that file's folder.
HRESULT RegisterModuleTypeLib(HINSTANCE module) noexcept;
// Removes the registration that matches the library's own identifier, version, locale and
// system kind.
HRESULT UnregisterModuleTypeLib(HINSTANCE module) noexcept;

// The part of a path up to and including its last backslash, slash or colon.
std::wstring HelpDirectoryOf(const std::wstring& path);

} // namespace vexa

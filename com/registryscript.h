// Registry scripts: the registration entries of a class, kept as data (a REGISTRY resource)
// and applied by one small interpreter in both directions.
//
//   HKCR
//   {
//       Name = s 'default value'
//       {
//           val Named = s 'text'        (or d 'number')
//           NoRemove Kept { ... }      never deleted when unregistering
//           ForceRemove Fresh { ... }  deleted with its subtree before it is written again
//       }
//   }
//
// Names are bare words (a braced GUID included) or quoted; inside quotes '' stands for one
// quote. %NAME% placeholders are replaced before parsing, %% by one percent sign.
#pragma once
#include <windows.h>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

using ScriptReplacements = std::vector<std::pair<std::wstring, std::wstring>>;

// %MODULE% (the module's full path) and %APPID% (empty: no application identifier).
HRESULT ModuleScriptReplacements(HINSTANCE module, ScriptReplacements* replacements) noexcept;

// Register: creates every key (ForceRemove keys afresh) and sets its values.
// Unregister: depth first, deletes the listed named values, then each listed key that has
// no other subkeys left, except NoRemove keys; missing keys and values are skipped.
// A registry error stops the script and comes back as an HRESULT; a script that cannot be
// parsed gives HRESULT_FROM_WIN32(ERROR_BAD_FORMAT) before anything is written.
HRESULT RunRegistryScript(const std::wstring& script, const ScriptReplacements& replacements,
                          bool doRegister) noexcept;
HRESULT RunRegistryScriptResource(HINSTANCE module, UINT resourceId,
                                  const ScriptReplacements& replacements, bool doRegister) noexcept;

} // namespace vexa

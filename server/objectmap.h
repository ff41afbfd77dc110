// The creatable classes of the module, as the class objects and registration see them.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include "server/servermodule.h"

// Instance creation routines (plain, or as the inner object of an aggregate): each makes a
// new object and asks it for riid. Defined with their classes.
HRESULT CreateVexaPluginInstance(IUnknown* outer, REFIID riid, void** ppv);
HRESULT CreateVexaPluginPropertyPageInstance(IUnknown* outer, REFIID riid, void** ppv);

namespace vexa {
// Vexa's module object, over the object map of the two classes above.
ServerModule& TheModule() noexcept;
}

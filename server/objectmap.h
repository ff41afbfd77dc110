// The creatable classes of the module, as the class objects and registration see them.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include "com/servermodule.h"

namespace vexa {
// Vexa's module object, over the object map of the plugin and the settings page.
ServerModule& TheModule() noexcept;
}

#include "server/registration.h"

#include "com/check.h"

#include "Vexa_h.h"
#include "server/hostcomponentregistration.h"

namespace vexa {

HRESULT RegisterPluginWithHost() noexcept
{
    return RegisterWithHost(CLSID_VexaPlugin, L"Vexa Plugin", L"RSS Feed Viewer", L"", false);
}

HRESULT UnregisterPluginFromHost() noexcept
{
    return UnregisterFromHost(CLSID_VexaPlugin);
}

HRESULT RegisterVexaServer(ServerModule& module) noexcept
{
    VEXA_RETURN_IF_FAILED(module.RegisterServer());
    return RegisterPluginWithHost();
}

HRESULT UnregisterVexaServer(ServerModule& module) noexcept
{
    // Not installed or refusing: the COM entries are removed all the same.
    UnregisterPluginFromHost();
    return module.UnregisterServer();
}

} // namespace vexa

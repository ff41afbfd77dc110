#include "server/registration.h"

#include "plugin/hostregistration.h"

namespace vexa {

HRESULT RegisterVexaServer(ServerModule& module) noexcept
{
    HRESULT hr = module.RegisterServer();
    if (FAILED(hr)) return hr;
    return RegisterPluginWithHost();
}

HRESULT UnregisterVexaServer(ServerModule& module) noexcept
{
    // Not installed or refusing: the COM entries are removed all the same.
    UnregisterPluginFromHost();
    return module.UnregisterServer();
}

} // namespace vexa

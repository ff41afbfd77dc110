#include "server/registration.h"

#include "com/check.h"
#include "plugin/hostregistration.h"

namespace vexa {

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

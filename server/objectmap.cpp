// The module object of Vexa.dll and its object map: the plugin, then the settings page.
// The map's order is also the order of registration and unregistration.
#include "server/objectmap.h"

#include "Vexa_h.h"
#include "plugin/plugin.h"
#include "resources/resource.h"
#include "settings/propertypages.h"

namespace vexa {
namespace {

// Neither class has anything to set up or tear down with the module.
void NoClassInit(bool) {}

ObjectMapEntry g_objectMap[] = {
    {&CLSID_VexaPlugin, IDR_VEXAPLUGIN, CreateVexaPluginInstance, NoClassInit, nullptr},
    {&CLSID_VexaPluginPropertyPage, IDR_VEXAPLUGINPROPERTYPAGE,
     CreateVexaPluginPropertyPageInstance, NoClassInit, nullptr},
};

// Constructed while the module loads, before DllMain first runs; destroyed when it unloads.
ServerModule g_module(LIBID_VexaLib, g_objectMap, sizeof(g_objectMap) / sizeof(g_objectMap[0]));

} // namespace

ServerModule& TheModule() noexcept { return g_module; }

} // namespace vexa

// Fixture for tests of the plugin object against the host stand-in.
#pragma once
#include <windows.h>

#include "com/ptr.h"
#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace vexatest {

class PluginTest : public HostTest {
protected:
    // A new plugin, held through its IUnknown.
    vexa::com_ptr<IUnknown> CreatePlugin()
    {
        vexa::com_ptr<IUnknown> plugin;
        EXPECT_EQ(CreateVexaPluginInstance(nullptr, IID_IUnknown, plugin.put_void()), S_OK);
        return plugin;
    }
    static CVexaPlugin* Impl(IUnknown* plugin)
    {
        auto vexaPlugin = vexa::query<IVexaPlugin>(plugin);
        return static_cast<CVexaPlugin*>(vexaPlugin.get());
    }
    static HRESULT InitNew(IUnknown* plugin)
    {
        return vexa::query<IPersistStreamInit>(plugin)->InitNew();
    }
};

} // namespace vexatest

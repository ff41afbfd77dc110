// The module object, its object map and class objects, and the exports of Vexa.dll.
#include <windows.h>
#include <ocidl.h>

#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "Vexa_h.h"
#include "com/object.h"
#include "com/ptr.h"
#include "com/classfactory.h"
#include "com/servermodule.h"
#include "com/typelibreg.h"
#include "tests/support/fixtures.h"

using vexa::com_ptr;

namespace {

// {9A1C0F3E-5B7D-4C22-9E31-0D6A2B4C8E01}, {9A1C0F3E-5B7D-4C22-9E31-0D6A2B4C8E02}, ...
const CLSID CLSID_Widget = {0x9a1c0f3e, 0x5b7d, 0x4c22, {0x9e, 0x31, 0x0d, 0x6a, 0x2b, 0x4c, 0x8e, 0x01}};
const CLSID CLSID_Gadget = {0x9a1c0f3e, 0x5b7d, 0x4c22, {0x9e, 0x31, 0x0d, 0x6a, 0x2b, 0x4c, 0x8e, 0x02}};
const CLSID CLSID_Nothing = {0x9a1c0f3e, 0x5b7d, 0x4c22, {0x9e, 0x31, 0x0d, 0x6a, 0x2b, 0x4c, 0x8e, 0x03}};

// A creatable class of the test's own: answers IPersist only.
class Widget : public IPersist, public vexa::ObjectRoot, public vexa::InstanceCounter<Widget> {
public:
    explicit Widget(IUnknown* outer) : RootType(outer) {}
    VEXA_IUNKNOWN_DELEGATING
    STDMETHODIMP GetClassID(CLSID* id) override
    {
        if (!id) return E_POINTER;
        *id = CLSID_Widget;
        return S_OK;
    }

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override
    {
        static const vexa::InterfaceEntry table[] = {VEXA_INTERFACE(Widget, IID_IPersist, IPersist)};
        *count = 1;
        return table;
    }
};

HRESULT CreateWidget(IUnknown* outer, REFIID riid, void** ppv)
{
    return vexa::CreateComInstance<Widget>(outer, riid, ppv);
}
HRESULT CreateOutOfMemory(IUnknown*, REFIID, void** ppv)
{
    *ppv = nullptr;
    return E_OUTOFMEMORY;
}

std::vector<std::string> g_hookCalls;
void WidgetHook(bool starting) { g_hookCalls.push_back(starting ? "widget+" : "widget-"); }
void GadgetHook(bool starting) { g_hookCalls.push_back(starting ? "gadget+" : "gadget-"); }
void TermFunc(void*) { g_hookCalls.push_back("term"); }

class ModuleTest : public vexatest::VexaTest {
protected:
    void SetUp() override
    {
        VexaTest::SetUp();
        g_hookCalls.clear();
        m_map[0] = {&CLSID_Widget, 0, CreateWidget, WidgetHook, nullptr};
        m_map[1] = {&CLSID_Gadget, 0, CreateOutOfMemory, GadgetHook, nullptr};
        m_module = std::make_unique<vexa::ServerModule>(LIBID_VexaLib, m_map, 2);
    }
    void TearDown() override
    {
        m_module.reset();
        EXPECT_EQ(Widget::Count(), 0);
        VexaTest::TearDown();
    }

    com_ptr<IClassFactory> ClassObject(REFCLSID clsid)
    {
        com_ptr<IClassFactory> factory;
        EXPECT_EQ(m_module->GetClassObject(clsid, IID_IClassFactory, factory.put_void()), S_OK);
        return factory;
    }

    vexa::ObjectMapEntry m_map[2] = {};
    std::unique_ptr<vexa::ServerModule> m_module;
};

TEST_F(ModuleTest, GetClassObjectChecksAndCachesPerClass)
{
    EXPECT_FALSE(m_module->InitFailed());
    EXPECT_EQ(m_module->GetClassObject(CLSID_Widget, IID_IClassFactory, nullptr), E_POINTER);

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(m_module->GetClassObject(CLSID_Nothing, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);

    // A class object that does not answer the interface: its QueryInterface's result.
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(m_module->GetClassObject(CLSID_Widget, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    com_ptr<IClassFactory> first = ClassObject(CLSID_Widget);
    com_ptr<IClassFactory> second = ClassObject(CLSID_Widget);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(static_cast<IUnknown*>(m_map[0].classObject), static_cast<IUnknown*>(first.get()));
    com_ptr<IClassFactory> other = ClassObject(CLSID_Gadget);
    EXPECT_NE(first.get(), other.get());
    com_ptr<IUnknown> unknown;
    EXPECT_EQ(m_module->GetClassObject(CLSID_Widget, IID_IUnknown, unknown.put_void()), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(first.get()));
}

TEST_F(ModuleTest, CreateInstanceResults)
{
    com_ptr<IClassFactory> factory = ClassObject(CLSID_Widget);
    ASSERT_TRUE(factory);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPersist, nullptr), E_POINTER);

    vexatest::FakeOuter outer;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IPersist, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Widget::Count(), 0);

    // An interface the instance lacks: E_NOINTERFACE, and the instance is gone again.
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Widget::Count(), 0);

    com_ptr<IPersist> plain;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersist, plain.put_void()), S_OK);
    CLSID id = CLSID_NULL;
    EXPECT_EQ(plain->GetClassID(&id), S_OK);
    EXPECT_TRUE(IsEqualCLSID(id, CLSID_Widget));

    // Aggregated: the inner unknown comes back; interfaces from it count on the outer.
    com_ptr<IUnknown> inner;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, inner.put_void()), S_OK);
    EXPECT_EQ(Widget::Count(), 2);
    EXPECT_NE(static_cast<IUnknown*>(&outer), inner.get());
    com_ptr<IPersist> persist = vexa::query<IPersist>(inner.get());
    ASSERT_TRUE(persist);
    EXPECT_EQ(outer.refs, 2u);
    com_ptr<IUnknown> identity = vexa::query<IUnknown>(persist.get());
    EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer));
    identity.reset();
    persist.reset();
    EXPECT_EQ(outer.refs, 1u);

    com_ptr<IClassFactory> failing = ClassObject(CLSID_Gadget);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(failing->CreateInstance(nullptr, IID_IUnknown, &out), E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ModuleTest, LockCountFollowsInstancesServerLocksAndHeldClassObjects)
{
    const long base = vexa::Module::LockCount();
    ASSERT_EQ(base, 0) << "another object of this process is alive";
    EXPECT_EQ(vexa::ServerModule::CanUnloadNow(), S_OK);

    // A class object held from outside: 1 -> 2 raises the count, further references don't.
    com_ptr<IClassFactory> factory = ClassObject(CLSID_Widget);
    EXPECT_EQ(vexa::Module::LockCount(), 1);
    EXPECT_EQ(vexa::ServerModule::CanUnloadNow(), S_FALSE);
    com_ptr<IClassFactory> again = factory;
    EXPECT_EQ(vexa::Module::LockCount(), 1);
    again.reset();
    EXPECT_EQ(vexa::Module::LockCount(), 1);

    com_ptr<IPersist> instance;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersist, instance.put_void()), S_OK);
    EXPECT_EQ(vexa::Module::LockCount(), 2);
    factory.reset(); // 2 -> 1: only the map's reference is left
    EXPECT_EQ(vexa::Module::LockCount(), 1);
    EXPECT_EQ(vexa::ServerModule::CanUnloadNow(), S_FALSE);
    instance.reset();
    EXPECT_EQ(vexa::ServerModule::CanUnloadNow(), S_OK);

    factory = ClassObject(CLSID_Widget);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(vexa::Module::LockCount(), 2);
    EXPECT_EQ(vexa::ServerModule::CanUnloadNow(), S_FALSE);
    factory = ClassObject(CLSID_Widget);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_EQ(vexa::ServerModule::CanUnloadNow(), S_OK);
}

TEST_F(ModuleTest, ConstructionAndDestructionRunHooksThenTerminationList)
{
    EXPECT_EQ(g_hookCalls, (std::vector<std::string>{"widget+", "gadget+"}));
    ASSERT_TRUE(vexa::Module::AddTermFunc(TermFunc, nullptr));
    com_ptr<IClassFactory> factory = ClassObject(CLSID_Widget);
    factory.reset();
    ASSERT_NE(m_map[0].classObject, nullptr);
    // The idle list runs each time it is asked (DllCanUnloadNow), the module staying.
    ASSERT_TRUE(vexa::Module::AddIdleFunc([](void*) { g_hookCalls.push_back("idle"); }, nullptr));
    vexa::Module::RunIdleFuncs();
    m_module.reset();
    EXPECT_EQ(g_hookCalls, (std::vector<std::string>{"widget+", "gadget+", "idle", "widget-", "gadget-", "term"}));
    // The cached class objects went with the module object.
    EXPECT_EQ(m_map[0].classObject, nullptr);
    EXPECT_EQ(vexa::Module::LockCount(), 0);
}

// Vexa.dll itself, loaded from the build folder like a host loads it.
class VexaDll : public vexatest::VexaTest {
protected:
    void SetUp() override
    {
        VexaTest::SetUp();
        std::wstring program;
        ASSERT_EQ(vexa::ModuleFileName(nullptr, &program), S_OK);
        m_dll = LoadLibraryW((vexa::HelpDirectoryOf(program) + L"Vexa.dll").c_str());
        ASSERT_NE(m_dll, nullptr) << "Vexa.dll is built beside the test programs";
        getClassObject = Export<GetClassObjectFn>("DllGetClassObject");
        canUnloadNow = Export<CanUnloadNowFn>("DllCanUnloadNow");
        ASSERT_TRUE(getClassObject && canUnloadNow);
    }
    void TearDown() override
    {
        if (m_dll) FreeLibrary(m_dll);
        VexaTest::TearDown();
    }
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

    template <typename F>
    F Export(const char* name)
    {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_dll, name)));
    }

    HMODULE m_dll = nullptr;
    GetClassObjectFn getClassObject = nullptr;
    CanUnloadNowFn canUnloadNow = nullptr;
};

TEST_F(VexaDll, ExportsExactlyTheFourEntryPoints)
{
    auto base = reinterpret_cast<const BYTE*>(m_dll);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        found.insert(reinterpret_cast<const char*>(base + names[i]));
    EXPECT_EQ(found, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject",
                                            "DllRegisterServer", "DllUnregisterServer"}));
}

TEST_F(VexaDll, ClassObjectsOfTheObjectMap)
{
    EXPECT_EQ(getClassObject(CLSID_VexaPlugin, IID_IClassFactory, nullptr), E_POINTER);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(CLSID_Nothing, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(canUnloadNow(), S_OK);

    com_ptr<IClassFactory> plugin, page, pluginAgain;
    ASSERT_EQ(getClassObject(CLSID_VexaPlugin, IID_IClassFactory, plugin.put_void()), S_OK);
    ASSERT_EQ(getClassObject(CLSID_VexaPluginPropertyPage, IID_IClassFactory, page.put_void()), S_OK);
    ASSERT_EQ(getClassObject(CLSID_VexaPlugin, IID_IClassFactory, pluginAgain.put_void()), S_OK);
    EXPECT_EQ(plugin.get(), pluginAgain.get());
    EXPECT_NE(plugin.get(), page.get());
    EXPECT_EQ(canUnloadNow(), S_FALSE);

    vexatest::FakeOuter outer;
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(plugin->CreateInstance(&outer, IID_IPersistStreamInit, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(page->CreateInstance(&outer, IID_IPropertyPage, &out), CLASS_E_NOAGGREGATION);

    plugin.reset();
    pluginAgain.reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    page.reset();
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(VexaDll, InstancesKeepTheModuleLoaded)
{
    com_ptr<IUnknown> plugin, aggregated, page;
    vexatest::FakeOuter outer;
    {
        com_ptr<IClassFactory> factory;
        ASSERT_EQ(getClassObject(CLSID_VexaPlugin, IID_IClassFactory, factory.put_void()), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, plugin.put_void()), S_OK);
        ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, aggregated.put_void()), S_OK);
        EXPECT_NE(aggregated.get(), static_cast<IUnknown*>(&outer));
        ASSERT_EQ(getClassObject(CLSID_VexaPluginPropertyPage, IID_IClassFactory, factory.put_void()), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, page.put_void()), S_OK);
    }
    com_ptr<IPersistStreamInit> persist = vexa::query<IPersistStreamInit>(plugin.get());
    ASSERT_TRUE(persist);
    persist->InitNew(); // no host here: the start fails once the timer window is up
    persist.reset();

    EXPECT_EQ(canUnloadNow(), S_FALSE);
    plugin.reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    aggregated.reset();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    page.reset();
    EXPECT_EQ(canUnloadNow(), S_OK);
    // The unload runs the whole termination list: the timer window class goes with the module.
    WNDCLASSEXW wc = {sizeof(wc)};
    EXPECT_TRUE(GetClassInfoExW(m_dll, L"VexaRefreshTimerWindow", &wc));
    const HMODULE dll = std::exchange(m_dll, nullptr);
    EXPECT_TRUE(FreeLibrary(dll));
    EXPECT_FALSE(GetClassInfoExW(dll, L"VexaRefreshTimerWindow", &wc));
}

} // namespace

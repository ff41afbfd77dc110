// Registration: the registry scripts, the type library and the registration with the host,
// against the real registry (HKEY_CLASSES_ROOT and HKEY_CURRENT_USER redirected to scratch
// keys) and the host's own component registrar.
#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "com/check.h"
#include "Vexa_h.h"
#include "com/module.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "host/lib/registrar.h"
#include "hostapi.h"
#include "resources/resource.h"
#include "plugin/hostregistration.h"
#include "server/registration.h"
#include "com/registryscript.h"
#include "com/servermodule.h"
#include "com/typelibreg.h"
#include "tests/support/fixtures.h"

namespace {

// The identifiers in registry form, from the type library's own definitions: the registry
// scripts' copies must match them.
std::wstring GuidText(REFGUID guid)
{
    wchar_t text[40] = L"";
    StringFromGUID2(guid, text, 40);
    return text;
}
const std::wstring kPlugin = GuidText(CLSID_VexaPlugin);
const std::wstring kPage = GuidText(CLSID_VexaPluginPropertyPage);
const std::wstring kLibId = GuidText(LIBID_VexaLib);
const std::wstring kHostEntry = L"Software\\SidebarHost\\Plugins\\" + kPlugin;
const std::wstring kLibKey = L"TypeLib\\" + kLibId;
const std::wstring kLibPlatform = sizeof(void*) == 8 ? L"\\1.0\\0\\win64" : L"\\1.0\\0\\win32";

HRESULT NoInstance(IUnknown*, REFIID, void** ppv)
{
    *ppv = nullptr;
    return E_NOTIMPL;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    vexa::unique_hkey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A REG_SZ value; "<missing>" when absent, "<type N>" when of another type.
std::wstring StringValue(HKEY root, const std::wstring& path, const wchar_t* name = nullptr)
{
    wchar_t data[1024];
    DWORD size = sizeof(data), type = 0;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS)
        return L"<missing>";
    if (type != REG_SZ) return L"<type " + std::to_wstring(type) + L">";
    return std::wstring(data);
}

std::vector<std::wstring> Subkeys(HKEY root, const std::wstring& path)
{
    std::vector<std::wstring> names;
    vexa::unique_hkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name);
    }
    return names;
}

void CreateKey(HKEY root, const std::wstring& path)
{
    vexa::unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
}

std::wstring ModulePath()
{
    std::wstring path;
    EXPECT_EQ(vexa::ModuleFileName(vexa::Module::Instance(), &path), S_OK);
    return path;
}
std::wstring BuildFolder() { return vexa::HelpDirectoryOf(ModulePath()); }

std::vector<std::wstring> CallNames()
{
    std::vector<std::wstring> names;
    for (const host::RegistrarCall& call : host::RegistrarLog()) names.push_back(call.name);
    return names;
}

// The host heard one whole registration of the plugin, as DllRegisterServer makes it, and
// keeps its entry.
void ExpectPluginRegisteredWithHost()
{
    const auto& log = host::RegistrarLog();
    ASSERT_EQ(CallNames(), (std::vector<std::wstring>{L"BeginRegistration", L"GetRegistrationObject",
                                                      L"AddPlugin", L"EndRegistration"}));
    EXPECT_EQ(log[0].args, (std::vector<std::wstring>{kPlugin, L"Title", L"Vexa Plugin", L"Description",
                                                      L"RSS Feed Viewer", L"Icon", L""}));
    EXPECT_EQ(log[1].args, (std::vector<std::wstring>{L"SidebarHost.DisplayPluginRegistration"}));
    EXPECT_EQ(log[2].args, (std::vector<std::wstring>{kPlugin, L"0"}));
    for (const auto& [name, value] : {std::pair{L"Title", L"Vexa Plugin"}, {L"Description", L"RSS Feed Viewer"}, {L"Icon", L""}})
        EXPECT_EQ(StringValue(HKEY_CURRENT_USER, kHostEntry, name), value);
}

class Registration : public vexatest::VexaTest {
protected:
    void SetUp() override
    {
        // Before the base fixture: setting up an override lifts the one of HKEY_CURRENT_USER.
        m_hkcr = std::make_unique<vexatest::RegistryOverride>(HKEY_CLASSES_ROOT);
        VexaTest::SetUp();
        host::ClearRegistrarLog();
        host::SetRegistrarBehaviour({});
        host::SetRegistrarObserver(nullptr, nullptr);
        ASSERT_EQ(host::RegisterRegistrarClass(&m_registrarCookie), S_OK);
        // The object map of Vexa.dll, with the test's own creation routines.
        m_map[0] = {&CLSID_VexaPlugin, IDR_VEXAPLUGIN, NoInstance, nullptr, nullptr};
        m_map[1] = {&CLSID_VexaPluginPropertyPage, IDR_VEXAPLUGINPROPERTYPAGE, NoInstance, nullptr, nullptr};
        m_module = std::make_unique<vexa::ServerModule>(LIBID_VexaLib, m_map, 2);
    }
    void TearDown() override
    {
        m_module.reset();
        host::RevokeRegistrarClass(m_registrarCookie);
        host::SetRegistrarBehaviour({});
        host::SetRegistrarObserver(nullptr, nullptr);
        VexaTest::TearDown();
        m_hkcr.reset();
    }

    // Takes the host's registrar away; gives the failure its creation returns then.
    HRESULT RevokeHost()
    {
        host::RevokeRegistrarClass(m_registrarCookie);
        m_registrarCookie = 0;
        void* registrar = nullptr;
        const HRESULT hr = CoCreateInstance(CLSID_ComponentRegistrar, nullptr, 7, IID_IComponentRegistrar, &registrar);
        EXPECT_TRUE(VEXA_FAILED(hr));
        return hr;
    }
    std::wstring PluginKey() const { return std::wstring(L"CLSID\\") + kPlugin; }
    std::wstring PageKey() const { return std::wstring(L"CLSID\\") + kPage; }

    std::unique_ptr<vexatest::RegistryOverride> m_hkcr;
    DWORD m_registrarCookie = 0;
    vexa::ObjectMapEntry m_map[2] = {};
    std::unique_ptr<vexa::ServerModule> m_module;
};

TEST_F(Registration, WritesBothClassesTheTypeLibraryAndTheHostEntry)
{
    ASSERT_EQ(vexa::RegisterVexaServer(*m_module), S_OK);
    const HKEY cr = HKEY_CLASSES_ROOT;
    const std::wstring path = ModulePath();

    struct Expected { std::wstring key; const wchar_t* name; std::wstring value; };
    // Both scripts write the same pattern; the plugin adds its "Description".
    std::vector<Expected> entries;
    auto addClass = [&](const std::wstring& name, const std::wstring& clsid, const std::wstring& key) {
        const std::wstring progId = L"Vexa." + name;
        const Expected pattern[] = {
            {progId + L".1", nullptr, name},
            {progId + L".1\\CLSID", nullptr, clsid},
            {progId, nullptr, name},
            {progId + L"\\CLSID", nullptr, clsid},
            {progId + L"\\CurVer", nullptr, progId + L".1"},
            {key, nullptr, name},
            {key, L"AppID", L""},
            {key + L"\\ProgID", nullptr, progId + L".1"},
            {key + L"\\VersionIndependentProgID", nullptr, progId},
            {key + L"\\InprocServer32", nullptr, path},
            {key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
            {key + L"\\TypeLib", nullptr, kLibId},
        };
        entries.insert(entries.end(), std::begin(pattern), std::end(pattern));
    };
    const std::wstring plugin = PluginKey(), page = PageKey();
    addClass(L"VexaPlugin", kPlugin, plugin);
    entries.push_back({plugin + L"\\Description", nullptr, L"RSS Feed Viewer"});
    addClass(L"VexaPluginPropertyPage", kPage, page);
    for (const Expected& e : entries)
        EXPECT_EQ(StringValue(cr, e.key, e.name), e.value) << vexatest::Narrow(e.key);
    EXPECT_EQ(StringValue(cr, plugin + L"\\Programmable"), L"<missing>");
    EXPECT_TRUE(KeyExists(cr, plugin + L"\\Programmable"));
    EXPECT_EQ(Subkeys(cr, plugin).size(), 6u);
    EXPECT_EQ(Subkeys(cr, page).size(), 4u);
    EXPECT_FALSE(KeyExists(cr, L"AppID"));

    // The type library, from the module file, with the module's folder as help directory.
    const std::wstring lib = kLibKey + L"\\1.0";
    EXPECT_EQ(StringValue(cr, lib), L"Vexa 1.0 Type Library");
    EXPECT_EQ(StringValue(cr, lib + L"\\HELPDIR"), vexa::HelpDirectoryOf(path));
    EXPECT_EQ(StringValue(cr, kLibKey + kLibPlatform), path);

    // The host: one registration, in order, with the 6-element description and VARIANT_FALSE.
    ExpectPluginRegisteredWithHost();
    EXPECT_TRUE(KeyExists(m_hkcu->scratch(), kHostEntry)) << "HKEY_CURRENT_USER is not isolated";
    EXPECT_TRUE(m_channels->reports().empty());
}

TEST_F(Registration, RegisteringTwiceLeavesOneCleanCopy)
{
    ASSERT_EQ(vexa::RegisterVexaServer(*m_module), S_OK);
    CreateKey(HKEY_CLASSES_ROOT, PluginKey() + L"\\Stale\\Deeper");
    CreateKey(HKEY_CLASSES_ROOT, PageKey() + L"\\InprocServer32\\Stale");
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, PluginKey().c_str(), L"Leftover", REG_SZ, L"x", 4),
              ERROR_SUCCESS);

    ASSERT_EQ(vexa::RegisterVexaServer(*m_module), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, PluginKey() + L"\\Stale"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, PageKey() + L"\\InprocServer32\\Stale"));
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, PluginKey(), L"Leftover"), L"<missing>");
    EXPECT_EQ(Subkeys(HKEY_CLASSES_ROOT, PluginKey()).size(), 6u);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, PluginKey() + L"\\InprocServer32"), ModulePath());
}

TEST_F(Registration, UnregisterAsksTheHostFirstAndKeepsForeignHeldKeys)
{
    ASSERT_EQ(vexa::RegisterVexaServer(*m_module), S_OK);
    CreateKey(HKEY_CLASSES_ROOT, L"CLSID\\{00000000-1111-2222-3333-444444444444}");
    CreateKey(HKEY_CLASSES_ROOT, PageKey() + L"\\Foreign");
    CreateKey(HKEY_CLASSES_ROOT, L"Vexa.VexaPlugin\\Foreign");
    host::ClearRegistrarLog();

    struct Seen { bool classKeyPresent = false; int calls = 0; } seen;
    host::SetRegistrarObserver(
        [](const host::RegistrarCall&, void* context) {
            auto* s = static_cast<Seen*>(context);
            ++s->calls;
            s->classKeyPresent = KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kPlugin + L"\\InprocServer32");
        },
        &seen);

    ASSERT_EQ(vexa::UnregisterVexaServer(*m_module), S_OK);
    ASSERT_EQ(CallNames(), (std::vector<std::wstring>{L"RemoveComponent"}));
    EXPECT_EQ(host::RegistrarLog()[0].args, (std::vector<std::wstring>{kPlugin}));
    EXPECT_TRUE(seen.classKeyPresent) << "the host was asked after the COM entries were removed";
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHostEntry));

    const HKEY cr = HKEY_CLASSES_ROOT;
    EXPECT_FALSE(KeyExists(cr, PluginKey()));
    EXPECT_FALSE(KeyExists(cr, L"Vexa.VexaPlugin.1"));
    EXPECT_FALSE(KeyExists(cr, L"Vexa.VexaPluginPropertyPage.1"));
    EXPECT_FALSE(KeyExists(cr, L"Vexa.VexaPluginPropertyPage"));
    EXPECT_FALSE(KeyExists(cr, kLibKey));
    EXPECT_TRUE(KeyExists(cr, L"CLSID\\{00000000-1111-2222-3333-444444444444}"));
    // Keys that other software still uses stay, emptied of what the scripts listed.
    EXPECT_EQ(Subkeys(cr, PageKey()), (std::vector<std::wstring>{L"Foreign"}));
    EXPECT_EQ(StringValue(cr, PageKey(), L"AppID"), L"<missing>");
    EXPECT_EQ(Subkeys(cr, L"Vexa.VexaPlugin"), (std::vector<std::wstring>{L"Foreign"}));

    // Unregistering again finds nothing to remove.
    EXPECT_EQ(vexa::UnregisterVexaServer(*m_module), S_OK);
    EXPECT_EQ(Subkeys(cr, PageKey()), (std::vector<std::wstring>{L"Foreign"}));

    // The host tells a removal from finding nothing to remove.
    ASSERT_EQ(vexa::RegisterWithHost(CLSID_VexaPlugin, L"Vexa Plugin", L"RSS Feed Viewer", L"", false), S_OK);
    EXPECT_EQ(vexa::UnregisterFromHost(CLSID_VexaPlugin), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHostEntry));
    EXPECT_EQ(vexa::UnregisterFromHost(CLSID_VexaPlugin), S_FALSE);
}

TEST_F(Registration, WithoutTheHostTheComEntriesAndTypeLibraryStay)
{
    const HRESULT creationFailure = RevokeHost();
    EXPECT_EQ(vexa::RegisterVexaServer(*m_module), creationFailure);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, PluginKey() + L"\\InprocServer32"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, PageKey() + L"\\InprocServer32"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kLibKey + L"\\1.0"));

    EXPECT_EQ(vexa::UnregisterFromHost(CLSID_VexaPlugin), creationFailure);
    EXPECT_EQ(vexa::UnregisterVexaServer(*m_module), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, PluginKey()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibKey));
}

TEST_F(Registration, HostRefusalsAreUndoneAndReturned)
{
    const HRESULT refusal = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    struct Case {
        const char* name;
        host::RegistrarBehaviour behaviour;
        HRESULT expected;
        std::vector<std::wstring> calls;
    };
    host::RegistrarBehaviour begin, get, add, end, withheld;
    begin.beginRegistration = refusal;
    get.getRegistrationObject = refusal;
    add.addPlugin = refusal;
    end.endRegistration = refusal;
    withheld.withholdRegistrationObject = true;
    const Case cases[] = {
        {"begin", begin, refusal, {L"BeginRegistration"}},
        {"get", get, refusal, {L"BeginRegistration", L"GetRegistrationObject", L"RemoveComponent"}},
        {"add", add, refusal,
         {L"BeginRegistration", L"GetRegistrationObject", L"AddPlugin", L"RemoveComponent"}},
        {"end", end, refusal,
         {L"BeginRegistration", L"GetRegistrationObject", L"AddPlugin", L"EndRegistration", L"RemoveComponent"}},
        {"withheld", withheld, E_UNEXPECTED,
         {L"BeginRegistration", L"GetRegistrationObject", L"RemoveComponent"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::ClearRegistrarLog();
        m_channels->clear();
        host::SetRegistrarBehaviour(c.behaviour);
        EXPECT_EQ(vexa::RegisterWithHost(CLSID_VexaPlugin, L"Vexa Plugin", L"RSS Feed Viewer", L"", false),
                  c.expected);
        EXPECT_EQ(CallNames(), c.calls);
        EXPECT_EQ(host::RegistrarLog().back().args[0], kPlugin);
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHostEntry));
        if (c.expected == E_UNEXPECTED)
            EXPECT_EQ(m_channels->reports(), (std::vector<std::string>{"((HRESULT)(hr)<0) || spRegistration"}));
        else
            EXPECT_TRUE(m_channels->reports().empty());
    }
}

TEST_F(Registration, RegisterWithHostArguments)
{
    EXPECT_EQ(vexa::RegisterWithHost(CLSID_VexaPlugin, nullptr, L"d", nullptr, false), E_POINTER);
    EXPECT_EQ(vexa::RegisterWithHost(CLSID_VexaPlugin, L"t", nullptr, L"", false), E_POINTER);
    EXPECT_EQ(m_channels->reports(), (std::vector<std::string>{"title != 0", "icon != 0", "description != 0"}));
    EXPECT_TRUE(host::RegistrarLog().empty());

    ASSERT_EQ(vexa::RegisterWithHost(CLSID_VexaPluginPropertyPage, L"T", L"D", L"I", true), S_OK);
    ASSERT_EQ(host::RegistrarLog().size(), 4u);
    EXPECT_EQ(host::RegistrarLog()[0].args,
              (std::vector<std::wstring>{kPage, L"Title", L"T", L"Description", L"D", L"Icon", L"I"}));
    EXPECT_EQ(host::RegistrarLog()[2].args, (std::vector<std::wstring>{kPage, L"-1"}));
}

TEST_F(Registration, ScriptInterpreter)
{
    const std::wstring script = LR"(HKCR
{
    'Odd Name' = s 'It''s'
    {
        val Count = d '42'
        val Path = s '%MODULE%'
        {0A0B0C0D-0000-0000-0000-000000000001}
        NoRemove Kept
        {
            Inner = s '100%%'
        }
    }
})";
    // A path with a single quote reaches the registry unchanged.
    const vexa::ScriptReplacements replacements{{L"MODULE", L"C:\\O'Brien's\\Vexa.dll"}, {L"APPID", L""}};
    ASSERT_EQ(vexa::RunRegistryScript(script, replacements, true), S_OK);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"Odd Name"), L"It's");
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"Odd Name", L"Path"), L"C:\\O'Brien's\\Vexa.dll");
    DWORD count = 0, size = sizeof(count);
    EXPECT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, L"Odd Name", L"Count", RRF_RT_REG_DWORD, nullptr, &count, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 42u);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Odd Name\\{0A0B0C0D-0000-0000-0000-000000000001}"));
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"Odd Name\\Kept\\Inner"), L"100%");

    // Unregistering removes what it may; the NoRemove key keeps its parent alive.
    ASSERT_EQ(vexa::RunRegistryScript(script, replacements, false), S_OK);
    EXPECT_EQ(Subkeys(HKEY_CLASSES_ROOT, L"Odd Name"), (std::vector<std::wstring>{L"Kept"}));
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"Odd Name", L"Path"), L"<missing>");

    // Scripts that cannot be read write nothing.
    const HRESULT badFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
    const wchar_t* const broken[] = {
        L"HKCR { A = s 'x' { B } ",         // unclosed block
        L"HKCR { A = s 'unterminated }",    // unclosed quote
        L"HKXX { A }",                      // unknown root
        L"HKCR { A = q 'x' }",              // unknown type
        L"HKCR { val A = s 'x' }",          // value without a key
        L"HKCR { A = s '%UNKNOWN%' }",      // unknown placeholder
    };
    for (const wchar_t* text : broken) {
        EXPECT_EQ(vexa::RunRegistryScript(text, replacements, true), badFormat) << vexatest::Narrow(text);
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"A"));
    }
}

TEST_F(Registration, RegistryRefusalStopsTheScriptWithTheWin32Error)
{
    // A key of the plugin's script that nobody may open: an empty access list.
    CreateKey(HKEY_CLASSES_ROOT, L"Vexa.VexaPlugin.1");
    ACL emptyAcl;
    InitializeAcl(&emptyAcl, sizeof(emptyAcl), ACL_REVISION);
    const auto setAccess = [](ACL* acl) {
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
        vexa::unique_hkey key;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Vexa.VexaPlugin.1", 0, WRITE_DAC, key.put()), ERROR_SUCCESS);
        return RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &sd);
    };
    ASSERT_EQ(setAccess(&emptyAcl), ERROR_SUCCESS);

    EXPECT_EQ(vexa::RegisterVexaServer(*m_module), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, PluginKey()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibKey));
    EXPECT_TRUE(host::RegistrarLog().empty());

    EXPECT_EQ(setAccess(nullptr), ERROR_SUCCESS); // no access list: everyone
}

TEST_F(Registration, ModulePathAndTypeLibraryFallback)
{
    vexa::ScriptReplacements replacements;
    ASSERT_EQ(vexa::ModuleScriptReplacements(vexa::Module::Instance(), &replacements), S_OK);
    EXPECT_EQ(replacements, (vexa::ScriptReplacements{{L"MODULE", ModulePath()}, {L"APPID", L""}}));
    EXPECT_TRUE(VEXA_FAILED(vexa::ModuleScriptReplacements(reinterpret_cast<HINSTANCE>(0x10), &replacements)));

    EXPECT_EQ(vexa::HelpDirectoryOf(L"C:\\a\\b.dll"), L"C:\\a\\");
    EXPECT_EQ(vexa::HelpDirectoryOf(L"C:/a/b.dll"), L"C:/a/");
    EXPECT_EQ(vexa::HelpDirectoryOf(L"C:b.dll"), L"C:");
    EXPECT_EQ(vexa::HelpDirectoryOf(L"b.dll"), L"");

    // A module without a type library of its own: the ".tlb" beside it is used, and its
    // absence is the failure returned.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"vexa_tlb_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring build = BuildFolder();
    ASSERT_TRUE(CopyFileW((build + L"SidebarHost.dll").c_str(), (dir + L"Plain.dll").c_str(), FALSE));
    HMODULE plain = LoadLibraryW((dir + L"Plain.dll").c_str());
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(VEXA_FAILED(vexa::RegisterModuleTypeLib(plain)));

    ASSERT_TRUE(CopyFileW((build + L"generated\\idl\\Vexa.tlb").c_str(), (dir + L"Plain.tlb").c_str(), FALSE));
    EXPECT_EQ(vexa::RegisterModuleTypeLib(plain), S_OK);
    const std::wstring lib = kLibKey + L"\\1.0";
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, lib + L"\\HELPDIR"), dir);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kLibKey + kLibPlatform), dir + L"Plain.tlb");
    EXPECT_EQ(vexa::UnregisterModuleTypeLib(plain), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, lib));

    FreeLibrary(plain);
    DeleteFileW((dir + L"Plain.dll").c_str());
    DeleteFileW((dir + L"Plain.tlb").c_str());
    RemoveDirectoryW(dir.c_str());
}

} // namespace

// The installer's custom actions (VexaSetup.dll beside this program), called as the
// installer calls them; with no installer session their log lines go nowhere.
TEST_F(Registration, InstallerCustomActionsJoinAndLeaveTheHost)
{
    const std::wstring path = BuildFolder() + L"VexaSetup.dll";
    struct LibraryOwner {
        HMODULE module;
        ~LibraryOwner()
        {
            if (module) FreeLibrary(module);
        }
    } setup{LoadLibraryW(path.c_str())};
    ASSERT_NE(setup.module, nullptr) << "VexaSetup.dll was not built beside the test";
    using Action = UINT(__stdcall*)(ULONG);
    auto join = reinterpret_cast<Action>(reinterpret_cast<void*>(GetProcAddress(setup.module, "JoinSidebarHost")));
    auto leave = reinterpret_cast<Action>(reinterpret_cast<void*>(GetProcAddress(setup.module, "LeaveSidebarHost")));
    ASSERT_TRUE(join && leave);

    // Joining registers the plugin with the host as DllRegisterServer does, and nothing else:
    // the COM entries are the package's tables' business.
    EXPECT_EQ(join(0), static_cast<UINT>(ERROR_SUCCESS));
    ExpectPluginRegisteredWithHost();
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, PluginKey()));
    EXPECT_EQ(leave(0), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHostEntry));

    // A host that refuses fails the install (which the installer then rolls back); the host
    // was asked to remove the half-made entry.
    host::ClearRegistrarLog();
    host::RegistrarBehaviour refuse;
    refuse.endRegistration = E_ACCESSDENIED;
    host::SetRegistrarBehaviour(refuse);
    EXPECT_EQ(join(0), static_cast<UINT>(ERROR_INSTALL_FAILURE));
    EXPECT_EQ(CallNames().back(), L"RemoveComponent");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHostEntry));
    host::SetRegistrarBehaviour({});

    // No host: installing goes on (the step is skipped), and so does removing.
    const HRESULT creationFailure = RevokeHost();
    host::ClearRegistrarLog();
    EXPECT_EQ(vexa::ProbeHostRegistrar(), creationFailure);
    EXPECT_EQ(join(0), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(leave(0), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_TRUE(host::RegistrarLog().empty());
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHostEntry));
}

namespace {

// What a type library describes, as text, leaving out what differs by platform alone (its
// system kind, the sizes and vtable offsets of pointers).
std::wstring DescribeTypeLibrary(const std::wstring& path)
{
    vexa::com_ptr<ITypeLib> lib;
    if (LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put()) < 0) return L"cannot load " + path;
    std::wstring text;
    auto add = [&text](const std::wstring& part) { text += part + L"\n"; };
    TLIBATTR* libAttr = nullptr;
    if (lib->GetLibAttr(&libAttr) < 0) return L"no library attributes";
    add(GuidText(libAttr->guid) + L" " + std::to_wstring(libAttr->lcid) + L" " + std::to_wstring(libAttr->wMajorVerNum) +
        L"." + std::to_wstring(libAttr->wMinorVerNum) + L" " + std::to_wstring(libAttr->wLibFlags));
    lib->ReleaseTLibAttr(libAttr);
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        vexa::com_ptr<ITypeInfo> info;
        TYPEATTR* attr = nullptr;
        vexa::unique_bstr name;
        if (lib->GetTypeInfo(i, info.put()) < 0 || info->GetTypeAttr(&attr) < 0) return L"type " + std::to_wstring(i);
        info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
        add(std::wstring(name.get() ? name.get() : L"") + L" " + GuidText(attr->guid) + L" kind " +
            std::to_wstring(attr->typekind) + L" flags " + std::to_wstring(attr->wTypeFlags));
        for (UINT f = 0; f < attr->cFuncs; ++f) {
            FUNCDESC* func = nullptr;
            if (info->GetFuncDesc(f, &func) < 0) return L"function " + std::to_wstring(f);
            BSTR names[16] = {};
            UINT count = 0;
            info->GetNames(func->memid, names, 16, &count);
            std::wstring line = L"  " + std::to_wstring(func->memid) + L" invoke " + std::to_wstring(func->invkind) +
                                L" kind " + std::to_wstring(func->funckind) + L" callconv " +
                                std::to_wstring(func->callconv) + L" returns " +
                                std::to_wstring(func->elemdescFunc.tdesc.vt);
            for (UINT n = 0; n < count; ++n) {
                line += L" " + std::wstring(names[n] ? names[n] : L"");
                SysFreeString(names[n]);
            }
            for (SHORT p = 0; p < func->cParams; ++p)
                line += L" (" + std::to_wstring(func->lprgelemdescParam[p].tdesc.vt) + L"," +
                        std::to_wstring(func->lprgelemdescParam[p].paramdesc.wParamFlags) + L")";
            add(line);
            info->ReleaseFuncDesc(func);
        }
        info->ReleaseTypeAttr(attr);
    }
    return text;
}

} // namespace

// The x86 DLL that users install describes what the x64 DLL does, function by function (the
// other target's build beside this one; where there is none, nothing to compare).
TEST(TypeLibrary, BothTargetsDescribeTheSameInterfaces)
{
    const std::wstring other = BuildFolder() + (sizeof(void*) == 8 ? L"..\\i686\\Vexa.dll" : L"..\\x86_64\\Vexa.dll");
    if (GetFileAttributesW(other.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no other target built";
    const std::wstring mine = DescribeTypeLibrary(BuildFolder() + L"Vexa.dll");
    EXPECT_NE(mine.find(L"IVexaPlugin"), std::wstring::npos) << mine;
    EXPECT_NE(mine.find(L"callconv 4"), std::wstring::npos) << "COM methods are CC_STDCALL: " << mine;
    EXPECT_EQ(DescribeTypeLibrary(other), mine);
}

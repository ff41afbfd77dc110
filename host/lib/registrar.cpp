#include "host/lib/registrar.h"

#include <oleauto.h>

#include "com/check.h"
#include "com/object.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "host/lib/hostobjects.h"
#include "hostapi.h"
#include "com/classfactory.h"

namespace host {

const wchar_t kPluginsKey[] = L"Software\\SidebarHost\\Plugins";

namespace {

const wchar_t kRegistrationProgId[] = L"SidebarHost.DisplayPluginRegistration";

std::vector<RegistrarCall> g_log;
RegistrarObserver g_observer = nullptr;
void* g_observerContext = nullptr;
RegistrarBehaviour g_behaviour;

void Log(const wchar_t* name, std::vector<std::wstring> args)
{
    g_log.push_back({name, std::move(args)});
    if (g_observer) g_observer(g_log.back(), g_observerContext);
}

class CComponentRegistrar;

// Handed out for one registration; AddPlugin records the plugin with its registrar.
class CDisplayPluginRegistration : public NoTypeInfoDispatch<IDisplayPluginRegistration>,
                                   public HostRoot {
public:
    explicit CDisplayPluginRegistration(IUnknown* outer) : RootType(outer) {}
    VEXA_IUNKNOWN_DELEGATING
    void SetRegistrar(CComponentRegistrar* registrar);
    STDMETHODIMP AddPlugin(BSTR clsid, VARIANT_BOOL flag) override;

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override
    {
        return DualInterfaceTable<CDisplayPluginRegistration, IDisplayPluginRegistration>(IID_IDisplayPluginRegistration, count);
    }

private:
    vexa::com_ptr<IComponentRegistrar> m_registrarRef;
    CComponentRegistrar* m_registrar = nullptr;
};

class CComponentRegistrar : public NoTypeInfoDispatch<IComponentRegistrar>, public HostRoot {
public:
    explicit CComponentRegistrar(IUnknown* outer) : RootType(outer) {}
    VEXA_IUNKNOWN_DELEGATING

    STDMETHODIMP BeginRegistration(BSTR clsid, VARIANT description) override
    {
        VEXA_COM_TRY
        std::vector<std::wstring> args{vexa::BstrText(clsid)};
        std::vector<std::wstring> pairs;
        HRESULT hr = ReadDescription(description, &pairs);
        args.insert(args.end(), pairs.begin(), pairs.end());
        Log(L"BeginRegistration", args);
        if (FAILED(g_behaviour.beginRegistration)) return g_behaviour.beginRegistration;
        if (!clsid || SysStringLen(clsid) == 0) return E_INVALIDARG;
        if (FAILED(hr)) return hr;
        m_pending = true;
        m_clsid = vexa::BstrText(clsid);
        m_pairs = pairs;
        m_pluginAdded = false;
        return S_OK;
        VEXA_COM_CATCH
    }

    STDMETHODIMP GetRegistrationObject(BSTR progid, IDispatch** registration) override
    {
        VEXA_COM_TRY
        Log(L"GetRegistrationObject", {vexa::BstrText(progid)});
        if (!registration) return E_POINTER;
        *registration = nullptr;
        if (FAILED(g_behaviour.getRegistrationObject)) return g_behaviour.getRegistrationObject;
        if (g_behaviour.withholdRegistrationObject) return S_OK;
        if (!m_pending) return E_UNEXPECTED;
        if (vexa::BstrText(progid) != kRegistrationProgId) return REGDB_E_CLASSNOTREG;
        vexa::com_ptr<IDisplayPluginRegistration> object;
        HRESULT hr = vexa::CreateComInstance<CDisplayPluginRegistration>(
            nullptr, IID_IDisplayPluginRegistration, object.put_void());
        if (FAILED(hr)) return hr;
        static_cast<CDisplayPluginRegistration*>(object.get())->SetRegistrar(this);
        // The registration interface itself, which is also its IDispatch.
        *registration = object.detach();
        return S_OK;
        VEXA_COM_CATCH
    }

    STDMETHODIMP EndRegistration() override
    {
        VEXA_COM_TRY
        Log(L"EndRegistration", {});
        if (FAILED(g_behaviour.endRegistration)) return g_behaviour.endRegistration;
        if (!m_pending) return E_UNEXPECTED;
        m_pending = false;
        vexa::unique_hkey key;
        std::wstring path = std::wstring(kPluginsKey) + L"\\" + m_clsid;
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, key.put(), nullptr);
        if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
        for (std::size_t i = 0; i + 1 < m_pairs.size(); i += 2) {
            const std::wstring& value = m_pairs[i + 1];
            rc = RegSetValueExW(key.get(), m_pairs[i].c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
            if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
        }
        if (m_pluginAdded) {
            DWORD flag = m_pluginFlag ? 1 : 0;
            rc = RegSetValueExW(key.get(), L"Flag", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flag),
                                sizeof(flag));
            if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
        }
        return S_OK;
        VEXA_COM_CATCH
    }

    STDMETHODIMP RemoveComponent(BSTR clsid) override
    {
        VEXA_COM_TRY
        Log(L"RemoveComponent", {vexa::BstrText(clsid)});
        if (FAILED(g_behaviour.removeComponent)) return g_behaviour.removeComponent;
        if (!clsid || SysStringLen(clsid) == 0) return E_INVALIDARG;
        if (m_pending && m_clsid == vexa::BstrText(clsid)) m_pending = false;
        std::wstring path = std::wstring(kPluginsKey) + L"\\" + vexa::BstrText(clsid);
        // Deletes the component's key itself, with everything below it.
        LONG rc = RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        if (rc == ERROR_FILE_NOT_FOUND) return S_FALSE; // nothing registered under it
        return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
        VEXA_COM_CATCH
    }

    HRESULT OnAddPlugin(BSTR clsid, VARIANT_BOOL flag)
    {
        if (FAILED(g_behaviour.addPlugin)) return g_behaviour.addPlugin;
        if (!m_pending) return E_UNEXPECTED;
        if (vexa::BstrText(clsid) != m_clsid) return E_INVALIDARG;
        m_pluginAdded = true;
        m_pluginFlag = flag != VARIANT_FALSE;
        return S_OK;
    }

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override
    {
        return DualInterfaceTable<CComponentRegistrar, IComponentRegistrar>(IID_IComponentRegistrar, count);
    }

private:
    // The description: a one-dimensional array of BSTR VARIANTs in name/value pairs.
    static HRESULT ReadDescription(const VARIANT& description, std::vector<std::wstring>* texts)
    {
        if (description.vt != (VT_ARRAY | VT_VARIANT) || !description.parray) return E_INVALIDARG;
        SAFEARRAY* array = description.parray;
        if (SafeArrayGetDim(array) != 1) return E_INVALIDARG;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        HRESULT hr = S_OK;
        for (LONG i = lower; i <= upper; ++i) {
            vexa::unique_variant element;
            if (FAILED(SafeArrayGetElement(array, &i, static_cast<VARIANT*>(&element))) ||
                element.vt != VT_BSTR) {
                texts->push_back(L"<not a text>");
                hr = E_INVALIDARG;
                continue;
            }
            texts->push_back(vexa::BstrText(element.bstrVal));
        }
        if ((upper - lower + 1) % 2 != 0) hr = E_INVALIDARG;
        return hr;
    }

    bool m_pending = false;
    std::wstring m_clsid;
    std::vector<std::wstring> m_pairs;
    bool m_pluginAdded = false;
    bool m_pluginFlag = false;
};

void CDisplayPluginRegistration::SetRegistrar(CComponentRegistrar* registrar)
{
    m_registrarRef = vexa::com_ptr<IComponentRegistrar>(registrar);
    m_registrar = registrar;
}

HRESULT CDisplayPluginRegistration::AddPlugin(BSTR clsid, VARIANT_BOOL flag)
{
    VEXA_COM_TRY
    Log(L"AddPlugin", {vexa::BstrText(clsid), std::to_wstring(static_cast<int>(flag))});
    if (!m_registrar) return E_UNEXPECTED;
    return m_registrar->OnAddPlugin(clsid, flag);
    VEXA_COM_CATCH
}

} // namespace

const std::vector<RegistrarCall>& RegistrarLog() { return g_log; }
void ClearRegistrarLog() { g_log.clear(); }

void SetRegistrarObserver(RegistrarObserver observer, void* context)
{
    g_observer = observer;
    g_observerContext = context;
}

void SetRegistrarBehaviour(const RegistrarBehaviour& behaviour) { g_behaviour = behaviour; }

HRESULT CreateComponentRegistrar(IUnknown* outer, REFIID riid, void** ppv)
{
    if (ppv) *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return vexa::CreateComInstance<CComponentRegistrar>(nullptr, riid, ppv);
}

HRESULT RegisterRegistrarClass(DWORD* cookie)
{
    if (!cookie) return E_POINTER;
    *cookie = 0;
    IClassFactory* factory = nullptr;
    HRESULT hr = vexa::ClassFactory::Create(CreateComponentRegistrar, &factory);
    if (FAILED(hr)) return hr;
    hr = CoRegisterClassObject(CLSID_ComponentRegistrar, factory, CLSCTX_INPROC_SERVER,
                               REGCLS_MULTIPLEUSE, cookie);
    // From here the COM runtime holds the class object.
    factory->Release();
    return hr;
}

void RevokeRegistrarClass(DWORD cookie)
{
    if (cookie) CoRevokeClassObject(cookie);
}

} // namespace host

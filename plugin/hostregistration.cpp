#include "plugin/hostregistration.h"

#include <oleauto.h>

#include "com/check.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "Vexa_h.h"
#include "hostapi.h"

namespace vexa {

const wchar_t kDisplayPluginRegistrationProgId[] = L"SidebarHost.DisplayPluginRegistration";

namespace {

const DWORD kRegistrarContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;

HRESULT CreateRegistrar(com_ptr<IComponentRegistrar>& registrar) noexcept
{
    return CoCreateInstance(CLSID_ComponentRegistrar, nullptr, kRegistrarContext,
                            IID_IComponentRegistrar, registrar.put_void());
}

// The class identifier in registry form: upper-case hexadecimal in braces.
unique_bstr ClassIdText(REFCLSID clsid) noexcept
{
    wchar_t text[40];
    if (StringFromGUID2(clsid, text, 40) == 0) return unique_bstr();
    return unique_bstr::from(text);
}

struct SafeArrayOwner {
    SAFEARRAY* array = nullptr;
    ~SafeArrayOwner()
    {
        if (array) SafeArrayDestroy(array);
    }
};

// { "Title", title, "Description", description, "Icon", icon }: each element a BSTR
// VARIANT with its own copy of the text.
HRESULT BuildDescription(const wchar_t* title, const wchar_t* description, const wchar_t* icon,
                         SafeArrayOwner* out) noexcept
{
    const wchar_t* const texts[6] = {L"Title", title, L"Description", description, L"Icon", icon};
    out->array = SafeArrayCreateVector(VT_VARIANT, 0, 6);
    if (!out->array) return E_OUTOFMEMORY;
    for (LONG i = 0; i < 6; ++i) {
        unique_variant element;
        element.vt = VT_BSTR;
        element.bstrVal = SysAllocString(texts[i]);
        if (!element.bstrVal) return E_OUTOFMEMORY;
        // Copies the VARIANT, text included.
        HRESULT hr = SafeArrayPutElement(out->array, &i, static_cast<VARIANT*>(&element));
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

} // namespace

HRESULT RegisterWithHost(REFCLSID clsid, const wchar_t* title, const wchar_t* description,
                         const wchar_t* icon, bool flag) noexcept
{
    bool ok = VEXA_VERIFY(title != 0);
    ok = VEXA_VERIFY(description != 0) && ok;
    ok = VEXA_VERIFY(icon != 0) && ok;
    if (!ok) return E_POINTER;

    com_ptr<IComponentRegistrar> registrar;
    HRESULT hr = CreateRegistrar(registrar);
    if (FAILED(hr)) return hr;

    SafeArrayOwner descriptionArray;
    hr = BuildDescription(title, description, icon, &descriptionArray);
    if (FAILED(hr)) return hr;
    unique_bstr clsidText = ClassIdText(clsid);
    if (!clsidText) return E_OUTOFMEMORY;
    unique_variant descriptionVariant;
    hr = SafeArrayCopy(descriptionArray.array, &descriptionVariant.parray);
    if (FAILED(hr)) return hr;
    descriptionVariant.vt = VT_ARRAY | VT_VARIANT;

    hr = registrar->BeginRegistration(clsidText, descriptionVariant);
    if (FAILED(hr)) return hr;

    unique_bstr progId = unique_bstr::from(kDisplayPluginRegistrationProgId);
    com_ptr<IDispatch> registrationObject;
    hr = progId ? registrar->GetRegistrationObject(progId, registrationObject.put()) : E_OUTOFMEMORY;
    // The registrar hands out the registration interface itself, no further QueryInterface.
    IDisplayPluginRegistration* spRegistration =
        reinterpret_cast<IDisplayPluginRegistration*>(registrationObject.get());
    if (!VEXA_VERIFY(VEXA_FAILED(hr) || spRegistration)) hr = E_UNEXPECTED;
    if (SUCCEEDED(hr)) {
        hr = spRegistration->AddPlugin(clsidText, flag ? VARIANT_TRUE : VARIANT_FALSE);
        if (SUCCEEDED(hr)) hr = registrar->EndRegistration();
    }
    if (FAILED(hr)) registrar->RemoveComponent(clsidText);
    return hr;
}

HRESULT ProbeHostRegistrar() noexcept
{
    com_ptr<IComponentRegistrar> registrar;
    return CreateRegistrar(registrar);
}

HRESULT UnregisterFromHost(REFCLSID clsid) noexcept
{
    com_ptr<IComponentRegistrar> registrar;
    HRESULT hr = CreateRegistrar(registrar);
    if (FAILED(hr)) return hr;
    unique_bstr clsidText = ClassIdText(clsid);
    if (!clsidText) return E_OUTOFMEMORY;
    return registrar->RemoveComponent(clsidText);
}

HRESULT RegisterPluginWithHost() noexcept
{
    return RegisterWithHost(CLSID_VexaPlugin, L"Vexa Plugin", L"RSS Feed Viewer", L"", false);
}

HRESULT UnregisterPluginFromHost() noexcept
{
    return UnregisterFromHost(CLSID_VexaPlugin);
}

} // namespace vexa

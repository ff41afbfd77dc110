// The sidebar host stand-in library: host state, call log and the in-process registration.
#include "host/lib/hostlib.h"

#include "com/check.h"

#include "host/lib/hostobjects.h"

namespace host {
namespace {
std::atomic<long> g_liveObjects{0};
} // namespace

HostLock::HostLock() noexcept { ++g_liveObjects; }
HostLock::HostLock(const HostLock&) noexcept { ++g_liveObjects; }
HostLock::~HostLock() { --g_liveObjects; }
long LiveObjects() noexcept { return g_liveObjects.load(); }

Host& Host::Get()
{
    static Host host;
    return host;
}

std::vector<std::wstring> Host::calls() const
{
    std::vector<std::wstring> names;
    for (const std::wstring& line : m_log)
        names.push_back(line.substr(0, line.find(L'(')));
    return names;
}

void Host::failOn(const std::wstring& operation, HRESULT hr)
{
    if (hr == S_OK)
        m_failures.erase(operation);
    else
        m_failures[operation] = hr;
}

void Host::reset()
{
    // Moved out first: releasing an item may call back into the host.
    Panel old = std::move(m_panel);
    m_panel = Panel();
    old.items.clear();
    m_log.clear();
    m_failures.clear();
    m_displayState = 1;
}

HRESULT Host::record(const std::wstring& operation, const std::wstring& args)
{
    std::wstring line = operation + L"(" + args + L")";
    if (m_keepLog)
        m_log.push_back(line);
    if (m_observer)
        m_observer(line);
    auto it = m_failures.find(operation);
    return it == m_failures.end() ? S_OK : it->second;
}

std::wstring DescribePicture(IPicture* picture) { return picture ? L"picture" : L"null"; }

namespace {

// A class object for one helper class. Allocated per registration; COM's reference keeps it
// until the registration is revoked.
class HelperFactory final : public IClassFactory {
public:
    using Create = HRESULT (*)(IUnknown*, REFIID, void**);
    explicit HelperFactory(Create create) : m_create(create) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG refs = --m_refs;
        if (refs == 0) delete this;
        return refs;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        return m_create(outer, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    Create m_create;
    std::atomic<ULONG> m_refs{1};
    HostLock m_lock;
};

} // namespace

ClassRegistration::ClassRegistration(unsigned classes)
{
    struct Entry {
        unsigned bit;
        const CLSID* clsid;
        HelperFactory::Create create;
    };
    const Entry entries[] = {
        {PluginHelper, &CLSID_DisplayPluginHelper, CreatePluginHelper},
        {ContentItemHelper, &CLSID_DisplayContentItemHelper, CreateContentItemHelper},
    };
    for (const Entry& entry : entries) {
        if (!(classes & entry.bit)) continue;
        HelperFactory* factory = new (std::nothrow) HelperFactory(entry.create);
        if (!factory) {
            m_hr = E_OUTOFMEMORY;
            continue;
        }
        DWORD cookie = 0;
        HRESULT hr = CoRegisterClassObject(*entry.clsid, factory, CLSCTX_INPROC_SERVER,
                                           REGCLS_MULTIPLEUSE, &cookie);
        factory->Release();
        if (VEXA_OK(hr))
            m_cookies.push_back(cookie);
        else
            m_hr = hr;
    }
}

ClassRegistration::~ClassRegistration()
{
    for (DWORD cookie : m_cookies)
        CoRevokeClassObject(cookie);
}

} // namespace host

// The sidebar host stand-in library: host state, call log and the in-process registration.
#include "host/lib/hostlib.h"

#include "com/classfactory.h"
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

ClassRegistration::ClassRegistration(unsigned classes)
{
    struct Entry {
        unsigned bit;
        const CLSID* clsid;
        vexa::CreateInstanceFn create;
    };
    const Entry entries[] = {
        {PluginHelper, &CLSID_DisplayPluginHelper, CreatePluginHelper},
        {ContentItemHelper, &CLSID_DisplayContentItemHelper, CreateContentItemHelper},
    };
    for (const Entry& entry : entries) {
        if (!(classes & entry.bit)) continue;
        // The generic class object; COM's reference keeps it until the registration is revoked.
        IClassFactory* factory = nullptr;
        HRESULT hr = vexa::ClassFactory::Create(entry.create, &factory);
        if (FAILED(hr)) {
            m_hr = hr;
            continue;
        }
        DWORD cookie = 0;
        hr = CoRegisterClassObject(*entry.clsid, factory, CLSCTX_INPROC_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie);
        factory->Release();
        if (SUCCEEDED(hr)) {
            m_cookies.push_back(cookie);
            m_classLocks.emplace_back();
        } else {
            m_hr = hr;
        }
    }
}

ClassRegistration::~ClassRegistration()
{
    for (DWORD cookie : m_cookies)
        CoRevokeClassObject(cookie);
}

} // namespace host

// Targets "registry", "stream" and "calls", the raw loopback server, and the target table.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <exception>
#include <utility>

#include "Vexa_h.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "hostapi.h"
#include "host/lib/hostlib.h"
#include "plugin/plugin.h"
#include "settings/propertypages.h"
#include "userdata/registryhelper.h"
#include "tests/fuzz/targets.h"

using namespace vexa;

namespace fuzz {

// --- raw server -----------------------------------------------------------------------------
bool RawServer::Start()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 16) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        closesocket(s);
        return false;
    }
    m_listener = s;
    m_port = ntohs(addr.sin_port);
    m_stop = false;
    m_thread = std::thread([this] {
        try {
            Loop();
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_failures.push_back(std::string("raw server: ") + e.what());
        } catch (...) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_failures.push_back("raw server: unknown exception");
        }
    });
    return true;
}

void RawServer::Stop()
{
    if (m_listener == ~UINT_PTR(0)) return;
    m_stop = true;
    closesocket(static_cast<SOCKET>(m_listener));
    if (m_thread.joinable()) m_thread.join();
    m_listener = ~UINT_PTR(0);
    WSACleanup();
}

// The table keeps the latest answers: the oldest goes when it is full, never one that the
// input being set up has just given (clearing the whole table at a size could drop the
// first of an input's two answers when the second was added: its request was then
// answered 404, a clean answer that "never arrived").
void RawServer::Answer(const std::string& path, std::string response)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_answers.find(path) == m_answers.end()) m_order.push_back(path);
    m_answers[path] = std::move(response);
    while (m_order.size() > kKeptAnswers) {
        m_answers.erase(m_order.front());
        m_order.pop_front();
    }
}

std::string RawServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

bool RawServer::LastAnswerClosed()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lastClosed;
}

std::vector<std::string> RawServer::TakeThreadFailures()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return std::exchange(m_failures, {});
}

std::vector<std::string> RawServer::Requests()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_requests;
}

// One connection at a time: read the head (bounded), answer, close.
void RawServer::Loop()
{
    SOCKET listener = static_cast<SOCKET>(m_listener);
    while (!m_stop) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(listener, &set);
        timeval wait{0, 200000};
        if (select(0, &set, nullptr, nullptr, &wait) <= 0) continue;
        SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        std::string request;
        char buf[4096];
        ULONGLONG until = GetTickCount64() + 3000;
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 &&
               GetTickCount64() < until) {
            fd_set rs;
            FD_ZERO(&rs);
            FD_SET(client, &rs);
            timeval step{0, 100000};
            if (select(0, &rs, nullptr, nullptr, &step) <= 0) continue;
            int n = recv(client, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, n);
        }
        std::string path;
        std::size_t sp = request.find(' ');
        if (sp != std::string::npos) path = request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
        std::string answer = "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_requests.push_back(path);
            if (m_requests.size() > 1000) m_requests.clear();
            auto it = m_answers.find(path);
            if (it != m_answers.end()) answer = it->second;
            m_lastClosed = answer.find("Connection: close\r\n") != std::string::npos;
        }
        std::size_t sent = 0;
        while (sent < answer.size()) {
            int n = send(client, answer.data() + sent, static_cast<int>(std::min<std::size_t>(answer.size() - sent, 65536)), 0);
            if (n <= 0) break;
            sent += n;
        }
        shutdown(client, SD_BOTH);
        closesocket(client);
    }
}

void RestartServers()
{
    g_ctx->server.Stop();
    g_ctx->server.Start();
}

// --- registry ------------------------------------------------------------------------------
void WriteFeedList(const std::vector<RegValue>& values)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath);
    if (values.empty()) return;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    for (const RegValue& v : values) {
        // The registry adds a terminator to a string value whose count left it out when the
        // next unit in memory is one: pad so it stores exactly these bytes.
        std::string padded = v.data + "\xFF\xFF\xFF\xFF";
        RegSetValueExW(key, v.name.c_str(), 0, v.type, reinterpret_cast<const BYTE*>(padded.data()),
                       static_cast<DWORD>(v.data.size()));
    }
    RegCloseKey(key);
}

namespace {

std::string Bytes(const std::wstring& text, bool terminator)
{
    std::string out(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    if (terminator) out.append(2, '\0');
    return out;
}

std::wstring Lower(std::wstring s)
{
    for (auto& c : s) if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
    return s;
}

bool EqualAsciiCase(const std::wstring& a, const std::wstring& b) { return Lower(a) == Lower(b); }

std::wstring RandomCase(Rng& rng, std::wstring s)
{
    for (auto& c : s)
        if (rng.Chance(30) && ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'))) c ^= 0x20;
    return s;
}

// Reading the feed list, from its rules: the default destination, then dest[0] on in
// order until a value is missing or unreadable, a value too long to read skipped, minus
// empties and duplicates (ASCII case ignored), at most 100.
std::vector<std::wstring> ModelList(const std::map<std::wstring, RegValue>& values, const std::wstring& def)
{
    std::vector<std::wstring> list;
    auto add = [&](const std::wstring& text) {
        if (text.empty() || list.size() >= 100) return;
        for (const auto& held : list) if (EqualAsciiCase(held, text)) return;
        list.push_back(text);
    };
    add(def);
    for (int i = 0; i < 100; ++i) {
        auto it = values.find(L"dest[" + std::to_wstring(i) + L"]");
        if (it == values.end()) break;
        const RegValue& v = it->second;
        if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) break;
        if (v.data.size() > 555 * 2) continue;
        if (v.data.empty() || v.data.size() % 2) break;
        std::wstring units(reinterpret_cast<const wchar_t*>(v.data.data()), v.data.size() / 2);
        if (units.back() != L'\0') break;
        add(units.substr(0, units.find(L'\0')));
    }
    return list;
}

std::string Show(const std::vector<std::wstring>& list)
{
    std::string out = "[";
    for (const auto& s : list) {
        out += "\"";
        for (wchar_t c : s.substr(0, 80)) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
        if (s.size() > 80) out += "...(" + std::to_string(s.size()) + ")";
        out += "\",";
    }
    return out + "]";
}

unsigned g_listSerial = 0;

// The frame's side of the page: a site that accepts everything.
class PageSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPropertyPageSite) {
            *ppv = static_cast<IPropertyPageSite*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnStatusChange(DWORD) override { return S_OK; }
    STDMETHODIMP GetLocaleID(LCID* lcid) override
    {
        if (!lcid) return E_POINTER;
        *lcid = LOCALE_USER_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** out) override
    {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }
};

std::wstring Trimmed(const std::wstring& s)
{
    std::size_t a = 0, b = s.size();
    while (a < b && std::iswspace(s[a])) ++a;
    while (b > a && std::iswspace(s[b - 1])) --b;
    return s.substr(a, b - a);
}

// The settings page reads the same list into its list box (sorted); Apply writes the list
// box's items back, trimmed, in its order.
void ThroughPage(const std::vector<std::wstring>& expected, Result& result)
{
    HWND frame = CreateWindowExW(WS_EX_CONTROLPARENT, L"STATIC", L"fuzz frame", WS_OVERLAPPEDWINDOW,
                                 0, 0, 600, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!frame) return; // no display: nothing to show the page on
    PageSite site;
    {
        vexa::com_ptr<IPropertyPage> page;
        CreateVexaPluginPropertyPageInstance(nullptr, IID_IPropertyPage, page.put_void());
        page->SetPageSite(&site);
        RECT rc = {8, 8, 528, 248};
        HRESULT hr = page->Activate(frame, &rc, FALSE);
        HWND win = GetWindow(frame, GW_CHILD);
        HWND list = win ? GetDlgItem(win, 132) : nullptr;
        if (hr != S_OK || !list) {
            result.Fail("the page did not come up: " + std::to_string(hr));
        } else {
            std::vector<std::wstring> items;
            int n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
            for (int i = 0; i < n; ++i) {
                std::wstring text(SendMessageW(list, LB_GETTEXTLEN, i, 0), L'\0');
                SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&text[0]));
                items.push_back(text);
            }
            std::vector<std::wstring> a = items, b = expected;
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            if (a != b) result.Fail("the page lists " + Show(items) + ", expected " + Show(expected));
            if (page->Apply() == S_OK) {
                std::vector<std::wstring> stored;
                HKEY key = nullptr;
                if (RegOpenKeyExW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) {
                    for (int i = 0;; ++i) {
                        std::wstring name = L"dest[" + std::to_wstring(i) + L"]";
                        DWORD type = 0, size = 0;
                        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
                        std::wstring value(size / 2, L'\0');
                        RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size);
                        stored.push_back(value.substr(0, value.find(L'\0')));
                    }
                    RegCloseKey(key);
                }
                std::vector<std::wstring> want;
                for (const auto& item : items) want.push_back(Trimmed(item));
                if (stored != want) result.Fail("after Apply the key holds " + Show(stored) + ", the list box " + Show(want));
            }
        }
        page->Deactivate();
        page->SetPageSite(nullptr);
    }
    DestroyWindow(frame);
}

} // namespace

void RunRegistry(std::uint64_t inputSeed, Result& result)
{
    Rng rng(inputSeed);
    const std::wstring ours = L"http://127.0.0.1:" + std::to_wstring(g_ctx->server.Port()) + L"/";
    const unsigned serial = ++g_listSerial;
    std::vector<std::wstring> texts; // earlier texts, for duplicates
    std::vector<RegValue> values;
    bool safe = true; // every text is one of our addresses or harmless to fetch
    auto text = [&]() -> std::wstring {
        switch (rng.Below(9)) {
        case 0: case 1: case 2:
            return RandomCase(rng, L"http") + ours.substr(4) + (rng.Chance(50) ? L"q/" : L"Q/") +
                   std::to_wstring(serial) + L"-" + std::to_wstring(rng.Below(6));
        case 3:
            if (!texts.empty()) return RandomCase(rng, texts[rng.Below(static_cast<std::uint32_t>(texts.size()))]);
            return L"dup";
        case 4: return L"";
        case 5: return std::wstring(rng.Pick(std::vector<int>{553, 554, 555, 556, 2000, 40000}), L'a' + rng.Below(26));
        case 6: return rng.Chance(50) ? L"\u00e9t\u00e9" : L"\u00c9T\u00c9"; // case apart from ASCII
        case 7: return L"http://127.0.0.1:8025/vexa/feeds/DEFAULT.xml?all#";
        default: {
            std::wstring s;
            int n = rng.Range(1, 30);
            for (int i = 0; i < n; ++i) {
                wchar_t c = static_cast<wchar_t>(rng.Chance(70) ? L'a' + rng.Below(26) : 0x80 + rng.Below(0xD000));
                s += c;
            }
            return s;
        }
        }
    };
    int count = rng.Chance(90) ? rng.Range(0, 12) : rng.Range(90, 130);
    int index = 0;
    for (int k = 0; k < count; ++k) {
        RegValue v;
        if (rng.Chance(5)) index += rng.Range(1, 3); // a gap
        std::wstring name = L"dest[" + std::to_wstring(index++) + L"]";
        if (rng.Chance(5)) name = RandomCase(rng, name);
        if (rng.Chance(3)) name = rng.Pick(std::vector<std::wstring>{L"dest[01]", L"dest[ 1]", L"dest[-1]", L"dest[100]", L"x", L""});
        v.name = name;
        std::wstring t = text();
        texts.push_back(t);
        int shape = rng.Below(20);
        v.type = REG_SZ;
        if (shape == 0) v.type = REG_EXPAND_SZ;
        if (shape == 1) v.type = rng.Pick(std::vector<DWORD>{REG_DWORD, REG_BINARY, REG_MULTI_SZ, REG_NONE, REG_QWORD, 77});
        v.data = Bytes(t, shape != 2);                 // 2: no terminator
        if (shape == 3) v.data += '\x01';              // an odd byte count
        if (shape == 4) v.data = Bytes(t, true) + Bytes(L"tail", true); // text after a NUL
        if (shape == 5) v.data.clear();
        values.push_back(v);
    }
    if (rng.Chance(3)) // thousands of other values
        for (int k = 0; k < 2000; ++k) values.push_back({L"other" + std::to_wstring(k), REG_SZ, Bytes(L"x", true)});
    WriteFeedList(values);

    std::map<std::wstring, RegValue> byName;
    for (const RegValue& v : values) byName[Lower(v.name)] = v;
    const std::wstring def = vexa::LoadResourceString(115);
    std::vector<std::wstring> expected = ModelList(byName, def);
    for (const auto& t : expected)
        if (t.compare(0, ours.size(), ours) != 0 && !EqualAsciiCase(t.substr(0, ours.size()), ours) &&
            (t.find_first_of(L":/\\") != std::wstring::npos) && t != def)
            safe = false;
    result.SetBytes(Show(expected));

    std::vector<std::wstring> got;
    {
        CRegistryHelper helper;
        helper.LoadOrSeed();
        got = helper.List();
        if (got != expected) {
            result.Fail("list read " + Show(got) + ", expected " + Show(expected));
            return;
        }
        if (rng.Chance(30)) {
            helper.Save();
            CRegistryHelper again;
            again.LoadOrSeed();
            std::vector<std::wstring> back;
            back = again.List();
            if (back != expected) result.Fail("after Save the list reads " + Show(back));
            DWORD nValues = 0, nKeys = 0;
            RegQueryInfoKeyW(again.OpenedKey(), nullptr, nullptr, nullptr, &nKeys, nullptr, nullptr,
                             &nValues, nullptr, nullptr, nullptr, nullptr);
            if (nKeys != 0 || nValues != expected.size())
                result.Fail("after Save the key holds " + std::to_string(nValues) + " values, " +
                            std::to_string(nKeys) + " subkeys");
        }
    }
    if (rng.Chance(10)) ThroughPage(expected, result);
    // The refresh reads the same list: one request per address of ours, in list order.
    if (safe && rng.Chance(15)) {
        g_ctx->server.ClearRequests();
        host::Host::Get().reset();
        {
            vexa::com_ptr<IUnknown> plugin;
            if (CreateVexaPluginInstance(nullptr, IID_IUnknown, plugin.put_void()) == S_OK)
                vexa::query<IPersistStreamInit>(plugin.get())->InitNew();
        }
        host::Host::Get().reset();
        std::vector<std::string> want;
        for (const auto& t : expected)
            if (EqualAsciiCase(t.substr(0, ours.size()), ours)) {
                std::string path = "/";
                for (wchar_t c : t.substr(ours.size())) path += static_cast<char>(c);
                want.push_back(path);
            }
        std::vector<std::string> requests = g_ctx->server.Requests();
        // The downloads run side by side: the server may see them in another order (seen
        // about twice in 1000 lists of two or more of its addresses), so only the set is
        // compared here.
        std::sort(requests.begin(), requests.end());
        std::sort(want.begin(), want.end());
        if (requests != want) {
            std::string w, r;
            for (auto& s : want) w += s + " ";
            for (auto& s : requests) r += s + " ";
            result.Fail("refresh requested [" + r + "], expected [" + w + "]");
        }
    }
}

// --- stream -------------------------------------------------------------------------------
namespace {

// A stream that fails or comes up short where it is told to.
class FuzzStream final : public IStream {
public:
    std::string data;
    std::size_t pos = 0;
    int failReadAt = -1, failWriteAt = -1, shortReadAt = -1, shortWriteAt = -1;
    HRESULT failHr = STG_E_READFAULT;
    int reads = 0, writes = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream) {
            *ppv = static_cast<IStream*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        int call = reads++;
        if (pcbRead) *pcbRead = 0;
        if (call == failReadAt) return failHr;
        std::size_t n = std::min<std::size_t>(cb, data.size() - pos);
        if (call == shortReadAt && n) --n;
        std::memcpy(pv, data.data() + pos, n);
        pos += n;
        if (pcbRead) *pcbRead = static_cast<ULONG>(n);
        return n == cb ? S_OK : S_FALSE;
    }
    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override
    {
        int call = writes++;
        if (pcbWritten) *pcbWritten = 0;
        if (call == failWriteAt) return failHr;
        ULONG n = call == shortWriteAt && cb ? cb - 1 : cb;
        data.append(static_cast<const char*>(pv), n);
        if (pcbWritten) *pcbWritten = n;
        return S_OK;
    }
    STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }
};

const HRESULT kStreamErrors[] = {STG_E_READFAULT, E_FAIL, STG_E_ACCESSDENIED, E_OUTOFMEMORY,
                                 HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), STG_E_WRITEFAULT, E_UNEXPECTED};

std::string Hex(const std::string& bytes)
{
    std::string out;
    char b[4];
    for (unsigned char c : bytes) { std::snprintf(b, sizeof b, "%02X", c); out += b; }
    return out;
}

vexa::com_ptr<IPersistStreamInit> NewPlugin()
{
    vexa::com_ptr<IPersistStreamInit> plugin;
    CreateVexaPluginInstance(nullptr, IID_IPersistStreamInit, plugin.put_void());
    return plugin;
}

std::string SaveOf(IPersistStreamInit* plugin, HRESULT& hr)
{
    FuzzStream s;
    hr = plugin->Save(&s, TRUE);
    return s.data;
}

} // namespace

void RunStream(std::uint64_t inputSeed, Result& result)
{
    Rng rng(inputSeed);
    host::Host::Get().reset();
    FuzzStream in;
    DWORD version = rng.Pick(std::vector<DWORD>{1808, 1808, 1808, 1807, 0, 1809, 0xFFFFFFFFu, 0x80000000u,
                                                static_cast<DWORD>(rng.Next())});
    in.data.assign(reinterpret_cast<const char*>(&version), 4);
    int tail = rng.Chance(70) ? 4 : rng.Range(0, 12);
    for (int i = 0; i < tail; ++i) in.data += static_cast<char>(rng.Below(256));
    if (rng.Chance(15)) in.data.resize(rng.Below(static_cast<std::uint32_t>(in.data.size() + 1)));
    if (rng.Chance(10)) in.failReadAt = rng.Range(0, 1);
    if (rng.Chance(10)) in.shortReadAt = rng.Range(0, 1);
    in.failHr = kStreamErrors[rng.Below(7)];
    result.SetBytes(Hex(in.data));

    // What Load must answer.
    HRESULT want = S_OK;
    std::size_t have = in.data.size();
    if (in.failReadAt == 0) want = in.failHr;
    else if (have < 4 || in.shortReadAt == 0) want = E_FAIL;
    else if (version > 1808) want = E_FAIL;
    else if (in.failReadAt == 1) want = in.failHr;
    else if (have < 8 || in.shortReadAt == 1) want = E_FAIL;

    auto plugin = NewPlugin();
    if (!plugin) { result.Fail("no plugin"); return; }
    HRESULT hr = plugin->Load(&in);
    if (hr != want) {
        char b[120];
        std::snprintf(b, sizeof b, "Load gave 0x%08lX, expected 0x%08lX", static_cast<unsigned long>(hr),
                      static_cast<unsigned long>(want));
        result.Fail(b);
        return;
    }
    if (hr == S_OK) {
        if (plugin->IsDirty() != S_FALSE) result.Fail("IsDirty after Load is not S_FALSE");
        ULARGE_INTEGER size{};
        if (plugin->GetSizeMax(&size) != S_OK || size.QuadPart != 8) result.Fail("GetSizeMax is not 8");
    }
    // Save, with a failing or short stream now and then.
    FuzzStream out;
    if (rng.Chance(15)) out.failWriteAt = rng.Range(0, 1);
    else if (rng.Chance(10)) out.shortWriteAt = rng.Range(0, 1);
    out.failHr = kStreamErrors[rng.Below(7)];
    HRESULT saved = plugin->Save(&out, rng.Chance(50));
    HRESULT wantSave = out.failWriteAt >= 0 ? out.failHr : out.shortWriteAt >= 0 ? STG_E_MEDIUMFULL : S_OK;
    if (saved != wantSave) result.Fail("Save gave " + std::to_string(saved) + ", expected " + std::to_string(wantSave));
    if (saved == S_OK) {
        if (out.data.size() != 8 || out.data.compare(0, 4, std::string("\x10\x07\0\0", 4)) != 0)
            result.Fail("Save wrote " + Hex(out.data));
        // The round trip: what a new plugin loads it saves again unchanged.
        auto second = NewPlugin();
        FuzzStream back;
        back.data = out.data;
        if (second->Load(&back) != S_OK) result.Fail("a saved stream does not load");
        HRESULT hr2;
        std::string again = SaveOf(second, hr2);
        if (hr2 != S_OK || again != out.data) result.Fail("Save after Load wrote " + Hex(again) + " for " + Hex(out.data));
    }
    if (rng.Chance(20)) { // a second Load on the same object must be harmless
        FuzzStream more;
        more.data = in.data;
        plugin->Load(&more);
    }
    plugin.reset();
    host::Host::Get().reset();
}

// --- calls --------------------------------------------------------------------------------
void RunCalls(std::uint64_t inputSeed, Result& result)
{
    Rng rng(inputSeed);
    host::Host::Get().reset();
    std::string log;
    vexa::com_ptr<IUnknown> plugin;
    vexa::com_ptr<IUnknown> page;
    CreateVexaPluginInstance(nullptr, IID_IUnknown, plugin.put_void());
    CreateVexaPluginPropertyPageInstance(nullptr, IID_IUnknown, page.put_void());
    if (!plugin || !page) { result.Fail("no plugin or page"); return; }
    auto persist = vexa::query<IPersistStreamInit>(plugin.get());
    auto pages = vexa::query<ISpecifyPropertyPages>(plugin.get());
    auto withSite = vexa::query<IObjectWithSite>(plugin.get());
    auto vexaPlugin = vexa::query<IVexaPlugin>(plugin.get());
    auto handler = vexa::query<IDisplayPluginHandler>(plugin.get());
    auto propertyPage = vexa::query<IPropertyPage>(page.get());
    if (!persist || !pages || !withSite || !vexaPlugin || !handler || !propertyPage) {
        result.Fail("an interface of the table is missing");
        return;
    }
    const IID* iids[] = {&IID_IUnknown, &IID_IDispatch, &IID_IVexaPlugin, &IID_IPersistStreamInit,
                         &IID_IPersist, &IID_ISpecifyPropertyPages, &IID_IObjectWithSite,
                         &IID_IDisplayPluginHandler, &IID_IPropertyPage, &IID_IClassFactory,
                         &IID_IDisplayPluginHelper, &IID_IStream, &IID_IPersistStorage};
    auto expect = [&](const char* what, HRESULT got, HRESULT want) {
        log += std::string(what) + " ";
        if (got != want) {
            char b[160];
            std::snprintf(b, sizeof b, "%s gave 0x%08lX, expected 0x%08lX", what,
                          static_cast<unsigned long>(got), static_cast<unsigned long>(want));
            result.Fail(b);
        }
    };
    bool haveSite = false;
    // A frame for the page's window, when there is a display to make one on.
    HWND frame = CreateWindowExW(WS_EX_CONTROLPARENT, L"STATIC", L"fuzz frame", WS_OVERLAPPEDWINDOW,
                                 0, 0, 600, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    PageSite pageSite;
    int n = rng.Range(1, 40);
    for (int step = 0; step < n; ++step) {
        switch (rng.Below(24)) {
        case 0: {
            const IID& iid = *iids[rng.Below(13)];
            IUnknown* target = rng.Chance(70) ? plugin.get() : page.get();
            if (rng.Chance(30)) { expect("QI(null)", target->QueryInterface(iid, nullptr), E_POINTER); break; }
            vexa::com_ptr<IUnknown> got;
            HRESULT hr = target->QueryInterface(iid, got.put_void());
            log += "QI ";
            if (hr == S_OK && !got) result.Fail("QI gave S_OK and null");
            break;
        }
        case 1: log += "InitNew "; persist->InitNew(); break;
        case 2: expect("GetClassID(null)", persist->GetClassID(nullptr), E_POINTER); break;
        case 3: {
            CLSID clsid{};
            expect("GetClassID", persist->GetClassID(&clsid), S_OK);
            if (clsid != CLSID_VexaPlugin) result.Fail("GetClassID: another class");
            break;
        }
        case 4: {
            HRESULT hr = persist->IsDirty();
            log += "IsDirty ";
            if (hr != S_OK && hr != S_FALSE) result.Fail("IsDirty: " + std::to_string(hr));
            break;
        }
        case 5: expect("GetSizeMax(null)", persist->GetSizeMax(nullptr), E_POINTER); break;
        case 6: expect("GetPages(null)", pages->GetPages(nullptr), E_POINTER); break;
        case 7: {
            CAUUID list{};
            expect("GetPages", pages->GetPages(&list), S_OK);
            if (list.cElems != 1 || !list.pElems || list.pElems[0] != CLSID_VexaPluginPropertyPage)
                result.Fail("GetPages: not the one settings page");
            CoTaskMemFree(list.pElems);
            break;
        }
        case 8: {
            int which = rng.Below(3);
            vexa::com_ptr<IUnknown> site;
            if (which == 1) host::CreateSite(IID_IUnknown, site.put_void());
            if (which == 2) site = page;
            expect("SetSite", withSite->SetSite(site.get()), S_OK);
            haveSite = which != 0;
            break;
        }
        case 9: expect("GetSite(null)", withSite->GetSite(IID_IUnknown, nullptr), E_POINTER); break;
        case 10: {
            void* p = reinterpret_cast<void*>(1);
            HRESULT hr = withSite->GetSite(*iids[rng.Below(13)], &p);
            log += "GetSite ";
            if (!haveSite && (hr != E_FAIL || p)) result.Fail("GetSite without a site");
            if (hr == S_OK && p) static_cast<IUnknown*>(p)->Release();
            break;
        }
        case 11: {
            vexa::unique_bstr value;
            log += "get_Value1 ";
            vexaPlugin->get_Value1(rng.Chance(30) ? nullptr : value.put());
            break;
        }
        case 12: {
            log += "put_Value1 ";
            std::wstring text(rng.Range(0, rng.Chance(5) ? 5000 : 10), L'v');
            vexa::unique_bstr value = vexa::unique_bstr::from(text);
            vexaPlugin->put_Value1(rng.Chance(20) ? nullptr : value.get());
            break;
        }
        case 13: log += "HandleCommand "; handler->HandleCommand(static_cast<LONG>(rng.Next())); break;
        case 14:
            log += "DisplayStateChanged ";
            host::Host::Get().setDisplayState(rng.Range(0, 3));
            handler->DisplayStateChanged(rng.Range(-1, 3));
            break;
        case 15: expect("GetTypeInfoCount(null)", vexaPlugin->GetTypeInfoCount(nullptr), E_POINTER); break;
        case 16:
            if (rng.Chance(50)) {
                log += "Load(null) ";
                if (persist->Load(nullptr) == S_OK) result.Fail("Load(null) gave S_OK");
            }
            else expect("Save(null)", persist->Save(nullptr, TRUE), E_POINTER);
            break;
        case 17: {
            int count = rng.Range(0, 3);
            IUnknown* objects[3] = {plugin.get(), page.get(), plugin.get()};
            log += "SetObjects ";
            propertyPage->SetObjects(count, rng.Chance(30) ? nullptr : objects);
            break;
        }
        case 18: {
            if (rng.Chance(40)) { expect("GetPageInfo(null)", propertyPage->GetPageInfo(nullptr), E_POINTER); break; }
            PROPPAGEINFO info{};
            info.cb = sizeof info;
            log += "GetPageInfo ";
            if (propertyPage->GetPageInfo(&info) == S_OK) {
                CoTaskMemFree(info.pszTitle);
                CoTaskMemFree(info.pszDocString);
                CoTaskMemFree(info.pszHelpFile);
            }
            break;
        }
        case 19:
            if (rng.Chance(50)) { log += "SetPageSite(null) "; propertyPage->SetPageSite(nullptr); }
            else { log += "SetPageSite "; propertyPage->SetPageSite(&pageSite); }
            break;
        case 20:
            if (frame && rng.Chance(60)) {
                RECT rc = {8, 8, 528, 248};
                log += "Activate ";
                propertyPage->Activate(rng.Chance(10) ? nullptr : frame, rng.Chance(10) ? nullptr : &rc, rng.Chance(20));
            } else {
                log += "Deactivate ";
                propertyPage->Deactivate();
            }
            break;
        case 21:
            switch (rng.Below(6)) {
            case 0: log += "Show "; propertyPage->Show(rng.Below(11)); break;
            case 1: log += "Move(null) "; propertyPage->Move(nullptr); break;
            case 2: log += "IsPageDirty "; propertyPage->IsPageDirty(); break;
            case 3: log += "Apply "; propertyPage->Apply(); break;
            case 4: log += "Help(null) "; propertyPage->Help(nullptr); break;
            default: log += "TranslateAccelerator(null) "; propertyPage->TranslateAccelerator(nullptr);
            }
            break;
        default: { // the panel's items, as the host calls them
            auto& items = host::Host::Get().panel().items;
            if (items.empty()) { log += "no-item "; break; }
            IUnknown* item = items[rng.Below(static_cast<std::uint32_t>(items.size()))].item.get();
            auto itemHandler = vexa::query<IDisplayContentItemHandler>(item);
            if (!itemHandler) { result.Fail("an item without its handler"); break; }
            int what = rng.Below(3);
            log += "item ";
            if (what == 0) itemHandler->OpenItem();
            else if (what == 1) itemHandler->HandleActivation(static_cast<LONG>(rng.Next()));
            else {
                VARIANT_BOOL cancel = VARIANT_FALSE;
                itemHandler->HandleCancelQuery(rng.Chance(50) ? nullptr : &cancel);
            }
        }
        }
    }
    result.SetBytes(log);
    propertyPage->Deactivate();
    if (frame) DestroyWindow(frame);
    // Break the cycles the sequence may have made (the page holding itself or the plugin,
    // the plugin holding the page as its site). A null array is refused, so pass an empty one.
    withSite->SetSite(nullptr);
    IUnknown* none[1] = {nullptr};
    propertyPage->SetObjects(0, none);
    propertyPage->SetPageSite(nullptr);
}

const std::vector<Target>& AllTargets()
{
    static const std::vector<Target> targets = {
        {"feeds", RunFeeds, RestartServers},
        {"http", RunHttp, RestartServers},
        {"registry", RunRegistry, nullptr},
        {"stream", RunStream, nullptr},
        {"calls", RunCalls, nullptr},
        {"opml", RunOpml, nullptr},
        {"html", RunHtml, nullptr},
        {"picture", RunPicture, nullptr},
    };
    return targets;
}

} // namespace fuzz

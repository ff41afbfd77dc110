// sidebar: the host stand-in that a person runs. It makes the host's helper classes
// creatable in this process, creates the plugin by its ProgID through the registry (as a
// real host does), hands it a site, starts it with InitNew and runs the message loop,
// printing the panel as the plugin changes it, or showing it in a window (--window). Commands
// typed on stdin open items, show the settings page, refresh, or quit.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "com/check.h"
#include "com/window.h"
#include "Vexa_h.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "host/lib/feedstatus.h"
#include "host/lib/hostlib.h"
#include "host/lib/panelprinter.h"
#include "host/lib/registrar.h"
#include "host/lib/panelwindow.h"
#include "host/lib/propertyframe.h"

namespace {

// The bytes that the process's heaps hand out now, every heap walked block by block: what a
// memory soak follows exactly, where the pages that the process holds move in big steps.
unsigned long long HeapBytesInUse()
{
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    unsigned long long total = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return total;
}

const wchar_t kProgId[] = L"Vexa.VexaPlugin";
const wchar_t kWindowClass[] = L"VexaSidebarCommands";
const UINT WM_SIDEBAR_COMMAND = WM_APP + 1; // lParam: a std::wstring* the window takes over
const UINT WM_SIDEBAR_QUIT = WM_APP + 2;

const UINT_PTR kExitTimer = 1;

// The window that takes commands; null while there is none. Other threads (the stdin reader,
// the console control handler) only ever post to it.
std::atomic<HWND> g_commandWindow{nullptr};

void PostCommand(std::wstring command)
{
    HWND window = g_commandWindow.load();
    if (!window) return;
    auto text = std::make_unique<std::wstring>(std::move(command));
    if (PostMessageW(window, WM_SIDEBAR_COMMAND, 0, reinterpret_cast<LPARAM>(text.get())))
        text.release(); // the window takes it over
}

struct Options {
    bool settings = false;    // show the settings page at start
    double exitAfter = 0;     // seconds; 0 runs until "quit"
    bool quietOle = false;    // no lines about COM set-up, only the panel
    bool calls = false;       // print every host call too
    bool window = false;      // show the panel in a window
    bool print = false;       // with window: print the panel too
    bool feeds = false;       // print the feeds' health at exit
};

// The panel's text is UTF-8. A pipe or a file gets the bytes as they are; a console gets
// the characters themselves (its code page would turn the bytes into other letters).
void Write(const std::string& utf8)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && out && GetConsoleMode(out, &mode)) {
        fflush(stdout);
        const std::wstring wide = host::FromUtf8(utf8);
        DWORD written = 0;
        if (WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr))
            return;
    }
    fwrite(utf8.data(), 1, utf8.size(), stdout);
    fflush(stdout);
}

std::wstring Hex(HRESULT hr)
{
    wchar_t buffer[16];
    swprintf(buffer, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return buffer;
}

std::wstring GuidText(REFGUID guid)
{
    wchar_t buffer[40] = {};
    StringFromGUID2(guid, buffer, 40);
    return buffer;
}

// A string value of an open key; empty when missing or not a string.
std::wstring ReadString(HKEY key, const wchar_t* name)
{
    wchar_t buffer[1024] = {};
    DWORD type = 0, size = sizeof(buffer) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    return std::wstring(buffer, wcsnlen(buffer, size / sizeof(wchar_t)));
}

class Sidebar {
public:
    Sidebar(const Options& options)
        : m_options(options),
          m_printer([this](const std::string& utf8) { if (m_printing) Write(utf8); }, options.calls),
          m_printing(!options.window || options.print) {}

    int Run();

private:
    // The message-only window that takes the commands and the exit timer.
    class CommandWindow final : public vexa::WindowBase {
    public:
        explicit CommandWindow(Sidebar& sidebar) : m_sidebar(sidebar) {}
        bool Create();
        void Destroy() { DestroyWindowNow(); }

    private:
        bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
        Sidebar& m_sidebar;
    };

    void Info(const std::wstring& text)
    {
        if (!m_options.quietOle) m_printer.Say(L"sidebar: " + text);
    }
    void Error(const std::wstring& text)
    {
        m_printer.Say(L"sidebar: error: " + text);
        if (!m_printing) fputs(host::Utf8(L"sidebar: error: " + text + L"\n").c_str(), stderr);
        m_lastError = text;
    }

    void ListPlugins();
    HRESULT CreatePlugin();
    HRESULT StartPlugin();
    void StopPlugin();
    void Execute(const std::wstring& command);
    void OpenItem(const std::wstring& argument);
    void ShowSettings();
    void Refresh();
    void SetDisplayState(const std::wstring& argument);
    void PrintFeeds();
    bool CreatePanelWindow();

    Options m_options;
    host::PanelPrinter m_printer;
    bool m_printing;
    std::unique_ptr<host::PanelWindow> m_panel; // with --window
    std::wstring m_lastError;
    bool m_started = false;
    CommandWindow m_window{*this};
    vexa::com_ptr<IUnknown> m_plugin;
    vexa::com_ptr<IUnknown> m_site;
    bool m_inSettings = false;
};

void Sidebar::ListPlugins()
{
    if (m_options.quietOle) return;
    vexa::unique_hkey plugins;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, host::kPluginsKey, 0, KEY_READ, plugins.put()) !=
        ERROR_SUCCESS) {
        m_printer.Say(L"sidebar: no plugins registered with the host (HKCU\\" +
                      std::wstring(host::kPluginsKey) + L" is missing)");
        return;
    }
    m_printer.Say(L"sidebar: plugins registered with the host:");
    int count = 0;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        LONG rc = RegEnumKeyExW(plugins.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) continue;
        vexa::unique_hkey plugin;
        std::wstring line = L"  " + std::wstring(name);
        if (RegOpenKeyExW(plugins.get(), name, 0, KEY_READ, plugin.put()) == ERROR_SUCCESS) {
            std::wstring title = ReadString(plugin.get(), L"Title");
            std::wstring description = ReadString(plugin.get(), L"Description");
            if (!title.empty()) line += L" \"" + title + L"\"";
            if (!description.empty()) line += L": " + description;
        }
        m_printer.Say(line);
        ++count;
    }
    if (count == 0) m_printer.Say(L"  (none)");
}

HRESULT Sidebar::CreatePlugin()
{
    CLSID clsid = {};
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (VEXA_FAILED(hr)) {
        Error(L"the ProgID " + std::wstring(kProgId) + L" is not registered (" + Hex(hr) +
              L"); register Vexa.dll with regsvr32 first");
        return hr;
    }
    std::wstring server;
    vexa::unique_hkey inproc;
    std::wstring path = L"CLSID\\" + GuidText(clsid) + L"\\InprocServer32";
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, inproc.put()) == ERROR_SUCCESS)
        server = ReadString(inproc.get(), nullptr);
    Info(L"creating " + std::wstring(kProgId) + L" " + GuidText(clsid) + L" from " +
         (server.empty() ? L"(no InprocServer32)" : server));
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, m_plugin.put_void());
    if (VEXA_FAILED(hr)) Error(L"CoCreateInstance failed with " + Hex(hr));
    return hr;
}

HRESULT Sidebar::StartPlugin()
{
    HRESULT hr = host::CreateSite(IID_IUnknown, m_site.put_void());
    if (VEXA_FAILED(hr)) {
        Error(L"cannot create the site: " + Hex(hr));
        return hr;
    }
    auto withSite = vexa::query<IObjectWithSite>(m_plugin.get());
    if (!withSite) {
        Error(L"the plugin has no IObjectWithSite");
        return E_NOINTERFACE;
    }
    hr = withSite->SetSite(m_site.get());
    if (VEXA_FAILED(hr)) {
        Error(L"SetSite failed with " + Hex(hr));
        return hr;
    }
    auto persist = vexa::query<IPersistStreamInit>(m_plugin.get());
    if (!persist) {
        Error(L"the plugin has no IPersistStreamInit");
        return E_NOINTERFACE;
    }
    Info(L"site set; starting the plugin with InitNew");
    hr = persist->InitNew();
    m_printer.Flush();
    if (VEXA_FAILED(hr)) {
        Error(L"InitNew failed with " + Hex(hr));
        return hr;
    }
    Info(L"plugin started; commands: open N, list, refresh, settings, state N, feeds, plugins, help, quit");
    return S_OK;
}

void Sidebar::StopPlugin()
{
    if (m_plugin) {
        Info(L"stopping: releasing the plugin and the panel");
        if (auto withSite = vexa::query<IObjectWithSite>(m_plugin.get())) withSite->SetSite(nullptr);
        // The plugin's last reference: it frees its store, timer window and helper.
        m_plugin.reset();
    }
    m_site.reset();
    m_printer.Flush();
    // The panel holds the items (and through them the plugin's module): let them go while
    // COM is still up.
    host::Host::Get().setObserver(nullptr);
    host::Host::Get().reset();
}

bool Sidebar::CommandWindow::Create()
{
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.lpfnWndProc = WindowProcedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
    return CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                           CreationParam()) != nullptr;
}

bool Sidebar::CommandWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    result = 0;
    switch (msg) {
    case WM_SIDEBAR_COMMAND: {
        std::unique_ptr<std::wstring> command(reinterpret_cast<std::wstring*>(lParam));
        if (command) m_sidebar.Execute(*command);
        return true;
    }
    case WM_SIDEBAR_QUIT:
        PostQuitMessage(0);
        return true;
    case WM_TIMER:
        if (wParam == kExitTimer) {
            KillTimer(m_hWnd, kExitTimer);
            m_sidebar.Info(L"--exit-after time reached");
            PostQuitMessage(0);
            return true;
        }
        break;
    }
    return false;
}

void Sidebar::Execute(const std::wstring& line)
{
    std::size_t start = line.find_first_not_of(L" \t");
    if (start == std::wstring::npos) return;
    std::size_t end = line.find_first_of(L" \t", start);
    std::wstring command = line.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    std::wstring argument;
    if (end != std::wstring::npos) {
        std::size_t a = line.find_first_not_of(L" \t", end);
        if (a != std::wstring::npos) argument = line.substr(a, line.find_last_not_of(L" \t") + 1 - a);
    }
    m_printer.Flush();
    if (!m_started && (command == L"open" || command == L"refresh" || command == L"settings" ||
                       command == L"state")) {
        // A plugin that did not start is asked for nothing (the window stays up to say so).
        m_printer.Say(L"sidebar: the plugin is not running");
    } else if (command == L"open")
        OpenItem(argument);
    else if (command == L"list")
        m_printer.PrintPanel();
    else if (command == L"refresh")
        Refresh();
    else if (command == L"settings")
        ShowSettings();
    else if (command == L"state")
        SetDisplayState(argument);
    else if (command == L"feeds")
        PrintFeeds();
    else if (command == L"plugins") {
        bool quiet = m_options.quietOle;
        m_options.quietOle = false;
        ListPlugins();
        m_options.quietOle = quiet;
    } else if (command == L"heap")
        m_printer.Say(L"heap: " + std::to_wstring(HeapBytesInUse()) + L" bytes in use");
    else if (command == L"quit" || command == L"exit")
        PostQuitMessage(0);
    else if (command == L"help")
        m_printer.Say(L"commands: open N (open item N), list (print the panel), refresh (write Value1),\n"
                      L"          settings (settings page), state N (display state N),\n"
                      L"          feeds (each feed's health), plugins, heap (bytes in use), quit");
    else
        m_printer.Say(L"sidebar: unknown command \"" + command + L"\" (try help)");
    m_printer.Flush();
}

void Sidebar::OpenItem(const std::wstring& argument)
{
    const auto& items = host::Host::Get().panel().items;
    wchar_t* end = nullptr;
    unsigned long number = wcstoul(argument.c_str(), &end, 10);
    if (argument.empty() || (end && *end) || number == 0 || number > items.size()) {
        m_printer.Say(L"sidebar: open takes an item number from 1 to " + std::to_wstring(items.size()));
        return;
    }
    // Held here: opening may run a message loop that changes the panel.
    vexa::com_ptr<IUnknown> item = items[number - 1].item;
    std::shared_ptr<host::ItemState> state = items[number - 1].state;
    auto handler = vexa::query<IDisplayContentItemHandler>(item.get());
    if (!handler) {
        m_printer.Say(L"sidebar: item " + std::to_wstring(number) + L" has no IDisplayContentItemHandler");
        return;
    }
    m_printer.Say(L"sidebar: opening [" + std::to_wstring(number) + L"] " +
                  (state && state->heading ? *state->heading : std::wstring()));
    HRESULT hr = handler->OpenItem();
    m_printer.Say(L"sidebar: OpenItem returned " + Hex(hr));
}

void Sidebar::ShowSettings()
{
    if (m_inSettings) {
        m_printer.Say(L"sidebar: the settings page is already open");
        return;
    }
    host::PropertyFrame::Pages pages;
    HRESULT hr = host::PropertyFrame::PagesOf(m_plugin.get(), pages);
    if (VEXA_FAILED(hr)) {
        Error(L"cannot get the plugin's property pages: " + Hex(hr));
        return;
    }
    Info(L"showing the settings page (" + std::to_wstring(pages.size()) + L" page(s)); close it to go on");
    m_inSettings = true;
    // Owned by the panel window when there is one: the frame is modal to it. The panel keeps
    // following the plugin while the frame is up.
    host::PropertyFrame frame(L"Vexa settings", m_plugin.get(), std::move(pages));
    hr = frame.Create(m_panel ? m_panel->hwnd() : nullptr);
    int result = 0;
    if (VEXA_OK(hr))
        result = frame.RunModal([this] {
            m_printer.Flush();
            if (m_panel) m_panel->Sync();
        });
    frame.Close();
    m_inSettings = false;
    if (VEXA_FAILED(hr))
        Error(L"the settings frame failed with " + Hex(hr));
    else
        Info(result == IDOK ? L"settings page closed (OK)" : L"settings page closed (Cancel)");
}

void Sidebar::Refresh()
{
    auto plugin = vexa::query<IVexaPlugin>(m_plugin.get());
    if (!plugin) {
        Error(L"the plugin has no IVexaPlugin");
        return;
    }
    Info(L"writing Value1 (a clearing refresh)");
    vexa::unique_bstr value = vexa::unique_bstr::from(L"refresh");
    HRESULT hr = plugin->put_Value1(value);
    m_printer.Flush();
    if (VEXA_FAILED(hr)) Error(L"put_Value1 failed with " + Hex(hr));
}

void Sidebar::SetDisplayState(const std::wstring& argument)
{
    wchar_t* end = nullptr;
    long state = wcstol(argument.c_str(), &end, 10);
    if (argument.empty() || (end && *end)) {
        m_printer.Say(L"sidebar: state takes a number");
        return;
    }
    auto handler = vexa::query<IDisplayPluginHandler>(m_plugin.get());
    if (!handler) {
        Error(L"the plugin has no IDisplayPluginHandler");
        return;
    }
    host::Host::Get().setDisplayState(state);
    Info(L"display state " + std::to_wstring(state));
    HRESULT hr = handler->DisplayStateChanged(state);
    if (VEXA_FAILED(hr)) Error(L"DisplayStateChanged failed with " + Hex(hr));
}

// The feeds' health as the plugin last recorded it: a summary, then one line per address.
// Asked for explicitly, so it is printed even when the panel is not.
void Sidebar::PrintFeeds()
{
    m_printer.Flush();
    const std::vector<vexa::FeedHealth> records = host::ReadFeedStatus();
    std::wstring text = L"feeds: " + (records.empty() ? std::wstring(L"no feed has a health record yet")
                                                       : vexa::SummarizeFeedHealth(records)) + L"\n";
    for (const vexa::FeedHealth& record : records)
        text += L"  " + host::FeedStatusLine(record) + L"\n";
    Write(host::Utf8(text));
}

bool Sidebar::CreatePanelWindow()
{
    host::PanelWindow::Commands commands;
    commands.open = [this](std::size_t index) { Execute(L"open " + std::to_wstring(index + 1)); };
    commands.refresh = [this] { Execute(L"refresh"); };
    commands.settings = [this] { Execute(L"settings"); };
    commands.close = [] { PostQuitMessage(0); };
    m_panel.reset(new (std::nothrow) host::PanelWindow(std::move(commands)));
    return m_panel && m_panel->Create();
}

int Sidebar::Run()
{
    // The host's helper classes live in this process: the plugin aggregates them, and the
    // panel they fill is the one printed here.
    host::ClassRegistration classes;
    if (VEXA_FAILED(classes.result())) {
        Error(L"cannot register the host's helper classes: " + Hex(classes.result()));
        return 1;
    }
    host::Host::Get().setObserver([this](const std::wstring& line) { m_printer.OnCall(line); });
    host::Host::Get().keepLog(false);

    if (!m_window.Create()) {
        Error(L"cannot create the command window");
        return 1;
    }

    if (m_options.window && !CreatePanelWindow()) {
        Error(L"cannot create the panel window");
        return 1;
    }
    ListPlugins();
    int status = 0;
    m_started = VEXA_OK(CreatePlugin()) && VEXA_OK(StartPlugin());
    bool started = m_started;
    if (!started) {
        status = 1;
        // The window stays up and says why; the console run ends here.
        if (m_panel) m_panel->SetStatus(L"Did not start: " + m_lastError);
    }
    if (started || m_panel) {
        if (m_options.exitAfter > 0)
            SetTimer(m_window.Window(), kExitTimer, static_cast<UINT>(m_options.exitAfter * 1000), nullptr);
        g_commandWindow = m_window.Window();
        if (started && m_options.settings) PostCommand(L"settings");
        if (m_panel) m_panel->Sync();
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            m_printer.Flush();
            if (m_panel) m_panel->Sync();
        }
    }
    g_commandWindow = nullptr;
    StopPlugin();
    if (m_options.feeds) PrintFeeds();
    m_panel.reset();
    m_window.Destroy();
    UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
    return status;
}

// Reads commands from stdin and hands them to the UI thread. At the end of input it stops
// reading; the sidebar goes on until "quit", Ctrl+C or --exit-after.
DWORD WINAPI ReadCommands(void*)
{
    // A line that cannot be kept (out of memory) ends the reading, not the process.
    VEXA_TRY
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), stdin)) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        PostCommand(host::FromUtf8(line));
    }
    return 0;
    VEXA_CATCH_RETURN(1)
}

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        HWND window = g_commandWindow.load();
        if (window) PostMessageW(window, WM_SIDEBAR_QUIT, 0, 0);
        return TRUE;
    }
    return FALSE;
}

void Usage()
{
    fputs("usage: sidebar [--window [--print]] [--settings] [--exit-after SECONDS] [--quiet-ole] [--calls]\n"
          "               [--feeds]\n"
          "  --window            show the panel in a window docked at the right of the screen\n"
          "  --print             with --window: print the panel on the terminal too\n"
          "  --settings          show the plugin's settings page at start\n"
          "  --exit-after SECS   quit after that many seconds\n"
          "  --quiet-ole         print the panel only, no lines about COM set-up\n"
          "  --calls             also print every call the plugin makes to the host\n"
          "  --feeds             print each feed's health at exit\n"
          "commands on stdin: open N, list, refresh, settings, state N, feeds, plugins, heap, help, quit\n",
          stderr);
}

} // namespace

int main(int argc, char** argv)
{
    // Our own line ends: no "\r\n" translation on the way to the terminal.
    _setmode(_fileno(stdout), _O_BINARY);

    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--settings") {
            options.settings = true;
        } else if (arg == "--window") {
            options.window = true;
        } else if (arg == "--print") {
            options.print = true;
        } else if (arg == "--quiet-ole") {
            options.quietOle = true;
        } else if (arg == "--calls") {
            options.calls = true;
        } else if (arg == "--feeds") {
            options.feeds = true;
        } else if (arg == "--exit-after" && i + 1 < argc) {
            char* end = nullptr;
            options.exitAfter = strtod(argv[++i], &end);
            if (!end || *end || !(options.exitAfter > 0) || options.exitAfter > 86400 * 24) {
                fprintf(stderr, "sidebar: --exit-after takes a number of seconds\n");
                return 2;
            }
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else {
            fprintf(stderr, "sidebar: unknown option %s\n", argv[i]);
            Usage();
            return 2;
        }
    }

    if (options.window) host::PanelWindow::EnableDpiAwareness();
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (VEXA_FAILED(hr)) {
        fprintf(stderr, "sidebar: CoInitializeEx failed with 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    int status;
    {
        Sidebar sidebar(options);
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        // The reader is never joined: it may sit in a blocking read until the process ends.
        if (HANDLE reader = CreateThread(nullptr, 0, ReadCommands, nullptr, 0, nullptr))
            CloseHandle(reader);
        status = sidebar.Run();
        long live = host::LiveObjects();
        if (live != 0)
            fprintf(stderr, "sidebar: warning: %ld host objects still alive at exit\n", live);
    }
    CoUninitialize();
    fflush(stdout);
    // The command reader may still be blocked in a read of stdin: end the process here.
    ExitProcess(static_cast<UINT>(status));
}

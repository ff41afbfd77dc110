// Panel window benchmark (needs an X server): the cost of a paint of the sidebar's window with
// 5000 items against the floor of a paint with 10 items (a full view either way), measured in
// the same run. Reports the ratio for a paint in place, for a page down with every row in view
// new (texts laid out as they come into view), and the time per item of catching up with 5000
// new items.
//
// Usage: bench_panelwindow [paints]   (default 100)
#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "com/owners.h"
#include "com/ptr.h"
#include "host/lib/hostlib.h"
#include "host/lib/panelwindow.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

bool AddItems(IDisplayPluginHelper* helper, int count)
{
    for (int i = 0; i < count; ++i) {
        vexa::com_ptr<IDisplayContentItemHelper> item;
        if (FAILED(host::CreateContentItemHelper(nullptr, IID_IDisplayContentItemHelper, item.put_void())))
            return false;
        std::wstring title = L"Entry number " + std::to_wstring(i + 1) + L" of a long feed";
        item->put_heading(vexa::unique_bstr::from(title + L": "));
        item->put_snippet(vexa::unique_bstr::from(
            title + L":\n<p>A description with <b>markup</b> &amp; entities, long enough to wrap over "
                    L"more than the three lines a row shows of it.</p>\n\nhttp://example.org/" +
            std::to_wstring(i)));
        item->put_time_created(45000.5);
        if (FAILED(helper->AddContentItem(item.get(), 9))) return false;
    }
    return true;
}

void Paint(HWND hwnd)
{
    InvalidateRect(hwnd, nullptr, FALSE);
    UpdateWindow(hwnd);
}

// Seconds per paint, each after `scroll` (a WM_VSCROLL code, or -1 for none).
double PaintTime(host::PanelWindow& window, int paints, int scroll)
{
    Paint(window.hwnd()); // warm
    auto start = Clock::now();
    for (int i = 0; i < paints; ++i) {
        if (scroll >= 0) SendMessageW(window.hwnd(), WM_VSCROLL, static_cast<WPARAM>(scroll), 0);
        Paint(window.hwnd());
    }
    return Seconds(start) / paints;
}

} // namespace

int main(int argc, char** argv)
{
    int paints = argc > 1 ? std::atoi(argv[1]) : 100;
    if (paints <= 0) paints = 100;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int status = 0;
    {
        host::ClassRegistration classes;
        vexa::com_ptr<IDisplayPluginHelper> helper;
        host::PanelWindow window(host::PanelWindow::Commands{});
        if (FAILED(classes.result()) ||
            FAILED(CoCreateInstance(CLSID_DisplayPluginHelper, nullptr, CLSCTX_INPROC,
                                    IID_IDisplayPluginHelper, helper.put_void())) ||
            !window.Create()) {
            fprintf(stderr, "bench_panelwindow: cannot set up the host or the window (no display?)\n");
            status = 1;
        } else {
            // The floor: ten items, a full view, texts laid out once.
            AddItems(helper.get(), 10);
            window.Sync();
            double floor = PaintTime(window, paints, -1);

            helper->RemoveAllContentItems();
            window.Sync();
            auto start = Clock::now();
            AddItems(helper.get(), 5000);
            window.Sync();
            double perItem = Seconds(start) / 5000;

            double inPlace = PaintTime(window, paints, -1);
            double paging = PaintTime(window, std::min(paints, 5000 / 8), SB_PAGEDOWN);

            printf("paint, 10 items (floor):           %8.3f ms\n", floor * 1e3);
            printf("paint in place, 5000 items:        %8.3f ms  ratio %.2f\n", inPlace * 1e3, inPlace / floor);
            printf("page down and paint, 5000 items:   %8.3f ms  ratio %.2f\n", paging * 1e3, paging / floor);
            printf("adding 5000 items, per item:       %8.3f us (host calls and the window catching up)\n",
                   perItem * 1e6);
            printf("rows drawn by the last paint:      %8zu of %zu\n", window.PaintedRows(), window.RowCount());
        }
        helper.reset();
        host::Host::Get().reset();
    }
    CoUninitialize();
    return status;
}

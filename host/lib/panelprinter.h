// Prints the host's panel as it changes: the title, about text, icons and display flags as
// the plugin sets them, one block per item once it is in the panel, and each clearing.
// Items are numbered by their place in the panel (1 is the first), the numbers that the
// sidebar's "open N" command takes.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace host {

struct ItemState;

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8(const std::wstring& text);
// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring FromUtf8(const std::string& text);

// An OLE date as "YYYY-MM-DD HH:MM:SS"; "(invalid date)" when it cannot be converted.
std::wstring FormatDate(DATE date);

// The block printed for item `number`: the heading line, then source, snippet (every line
// of it indented under the first) and time, each line ending in '\n'.
std::wstring FormatItem(std::size_t number, const ItemState& item);

class PanelPrinter {
public:
    // The sink takes UTF-8 text, one or more whole lines at a time.
    using Sink = std::function<void(const std::string& utf8)>;
    // allCalls: also print every host call as "  call: op(args)".
    explicit PanelPrinter(Sink sink, bool allCalls = false);

    // Host observer: runs before the call changes the panel. Prints what the call sets and
    // first catches up with the panel (items added and clearings since the last print).
    void OnCall(const std::wstring& line);

    // Catches up with the panel: prints each clearing and each item not printed yet. Call
    // it whenever the host may have changed the panel (after every dispatched message).
    void Flush();

    // Prints the whole panel as it is now (the "list" command).
    void PrintPanel();

    // Prints a free line of the program's own (the newline is added).
    void Say(const std::wstring& text);

private:
    Sink m_sink;
    bool m_allCalls;
    std::size_t m_printedItems = 0; // items of the panel already printed
    int m_seenClears = 0;           // the panel's clearing count last seen
};

} // namespace host

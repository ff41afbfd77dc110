// Text of the panel for the sidebar program: what a person at the terminal sees.
#include "host/lib/panelprinter.h"

#include <cwchar>

#include "host/lib/hostlib.h"

namespace host {
namespace {

// Every line of text after the first starts with `indent`.
std::wstring Indented(const std::wstring& text, const std::wstring& indent)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\r') continue;
        out += c;
        if (c == L'\n') out += indent;
    }
    return out;
}

// "op(args)" split into op and args; a line without parentheses is all op.
void SplitCall(const std::wstring& line, std::wstring* op, std::wstring* args)
{
    std::size_t open = line.find(L'(');
    if (open == std::wstring::npos) {
        *op = line;
        args->clear();
        return;
    }
    *op = line.substr(0, open);
    std::size_t end = line.size();
    if (end > open + 1 && line[end - 1] == L')') --end;
    *args = line.substr(open + 1, end - open - 1);
}

} // namespace

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty()) return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::wstring FormatDate(DATE date)
{
    SYSTEMTIME st = {};
    if (!VariantTimeToSystemTime(date, &st)) return L"(invalid date)";
    wchar_t buffer[32];
    swprintf(buffer, 32, L"%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
             st.wHour, st.wMinute, st.wSecond);
    return buffer;
}

std::wstring FormatItem(std::size_t number, const ItemState& item)
{
    const std::wstring unset = L"(not set)";
    std::wstring out = L"[" + std::to_wstring(number) + L"] " +
                       (item.heading ? *item.heading : unset) + L"\n";
    out += L"    source:  " + Indented(item.source ? *item.source : unset, L"             ") + L"\n";
    out += L"    snippet: " + Indented(item.snippet ? *item.snippet : unset, L"             ") + L"\n";
    // The plugin stamps items with the time in UTC.
    out += L"    time:    " + (item.timeCreated ? FormatDate(*item.timeCreated) + L" UTC" : unset) + L"\n";
    return out;
}

PanelPrinter::PanelPrinter(Sink sink, bool allCalls) : m_sink(std::move(sink)), m_allCalls(allCalls) {}

void PanelPrinter::Say(const std::wstring& text) { m_sink(Utf8(text + L"\n")); }

void PanelPrinter::Flush()
{
    const Panel& panel = Host::Get().panel();
    while (m_seenClears < panel.clears) {
        ++m_seenClears;
        m_printedItems = 0;
        Say(L"-- panel cleared --");
    }
    // A panel that shrank without a clearing (a host reset): start over with it.
    if (m_printedItems > panel.items.size()) m_printedItems = panel.items.size();
    std::wstring text;
    for (; m_printedItems < panel.items.size(); ++m_printedItems) {
        const PanelItem& item = panel.items[m_printedItems];
        text += FormatItem(m_printedItems + 1, item.state ? *item.state : ItemState());
    }
    if (!text.empty()) m_sink(Utf8(text));
}

void PanelPrinter::OnCall(const std::wstring& line)
{
    Flush();
    if (m_allCalls) Say(L"  call: " + Indented(line, L"        "));
    std::wstring op, args;
    SplitCall(line, &op, &args);
    if (op == L"put_title")
        Say(L"title: " + args);
    else if (op == L"put_about_text")
        Say(L"about: " + Indented(args, L"       "));
    else if (op == L"SetDisplayFlags")
        Say(L"display flags, mask: " + args);
    else if (op == L"SetIcons")
        Say(L"icons (small, large): " + args);
    // Item properties are printed with their item once it is in the panel, clearings once
    // they have happened (see Flush).
}

void PanelPrinter::PrintPanel()
{
    Flush();
    const Panel& panel = Host::Get().panel();
    Say(L"title: " + (panel.title ? *panel.title : L"(not set)"));
    std::wstring text;
    for (std::size_t i = 0; i < panel.items.size(); ++i) {
        const PanelItem& item = panel.items[i];
        text += FormatItem(i + 1, item.state ? *item.state : ItemState());
    }
    if (text.empty()) text = L"(no items)\n";
    m_sink(Utf8(text));
}

} // namespace host

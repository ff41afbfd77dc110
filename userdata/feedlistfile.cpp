#include "userdata/feedlistfile.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "com/check.h"
#include "com/owners.h"
#include "com/text.h"
#include "format/opml.h"
#include "format/utf8.h"
#include "userdata/feedhealth.h"

namespace vexa {

namespace {

BOOL SystemFileDialog(OPENFILENAMEW* ofn, bool save)
{
    return save ? GetSaveFileNameW(ofn) : GetOpenFileNameW(ofn);
}

std::atomic<FileDialogFn> g_fileDialog{SystemFileDialog};

std::wstring Wide(const std::string& utf8)
{
    return utf::FromUtf8<wchar_t>(utf8);
}

std::string Utf8(const std::wstring& text)
{
    return utf::ToUtf8(text.data(), text.size());
}

// The system's words for a Win32 error, without the line break it ends with.
std::wstring SystemMessage(DWORD error)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const vexa::unique_hlocal owner(buffer);
    std::wstring text;
    if (length && buffer)
        text = TrimWhiteSpace(std::wstring(buffer, length));
    if (text.empty())
        text = L"error " + std::to_wstring(error);
    while (!text.empty() && text.back() == L'.')
        text.pop_back();
    return text;
}

std::wstring CannotRead(const std::wstring& path, const std::wstring& why)
{
    return L"Could not read \"" + path + L"\": " + why + L". The list is unchanged.";
}

// The whole file, when it can be opened and is not over the bound.
bool ReadWholeFile(const std::wstring& path, std::string& bytes, std::wstring& problem)
{
    HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        problem = CannotRead(path, SystemMessage(GetLastError()));
        return false;
    }
    unique_handle file(opened);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        problem = CannotRead(path, SystemMessage(GetLastError()));
        return false;
    }
    if (size.QuadPart > static_cast<LONGLONG>(kMaxFeedFileBytes)) {
        problem = CannotRead(path, L"it is larger than " + std::to_wstring(kMaxFeedFileBytes >> 20) +
                                       L" MB, too large for a list of feeds");
        return false;
    }
    bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        problem = CannotRead(path, SystemMessage(GetLastError()));
        return false;
    }
    bytes.resize(read);
    return true;
}

std::wstring CountOf(int n, const wchar_t* one, const wchar_t* many)
{
    return std::to_wstring(n) + (n == 1 ? one : many);
}

} // namespace

FileDialogFn SetFileDialogFn(FileDialogFn fn)
{
    return g_fileDialog.exchange(fn ? fn : SystemFileDialog);
}

bool AskForFeedFile(HWND owner, bool save, std::wstring& path)
{
    std::wstring buffer(32768, L'\0');
    if (save) {
        static const wchar_t kSuggested[] = L"Vexa feeds.opml";
        std::copy(kSuggested, kSuggested + sizeof kSuggested / sizeof kSuggested[0], buffer.begin());
    }
    OPENFILENAMEW ofn = {sizeof ofn};
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = L"OPML files (*.opml)\0*.opml\0All files (*.*)\0*.*\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = &buffer[0];
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrDefExt = L"opml";
    ofn.lpstrTitle = save ? L"Export feeds" : L"Import feeds";
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR |
                (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    if (!g_fileDialog.load()(&ofn, save)) {
        // Cancelled, or the dialog failed (reported: the user sees no dialog then).
        DWORD error = CommDlgExtendedError();
        VEXA_VERIFY(error == 0);
        return false;
    }
    path.assign(buffer.c_str());
    return !path.empty();
}

bool ReadFeedFile(const std::wstring& path, std::vector<ListedFeed>& feeds, std::wstring& problem)
{
    std::string bytes;
    if (!ReadWholeFile(path, bytes, problem))
        return false;
    OpmlReadResult read = ReadOpml(bytes.data(), bytes.size());
    switch (read.outcome) {
    case OpmlRules::Outcome::NotOpml:
        problem = CannotRead(path, L"it is not an OPML file");
        return false;
    case OpmlRules::Outcome::Malformed:
        if (read.errorLine > 0)
            problem = CannotRead(path, L"it is not well-formed XML (line " + std::to_wstring(read.errorLine) +
                                           L", column " + std::to_wstring(read.errorColumn) + L")");
        else
            problem = CannotRead(path, L"it is not an OPML file");
        return false;
    case OpmlRules::Outcome::Read:
        break;
    }
    std::vector<ListedFeed> found;
    for (const OpmlOutline& outline : read.outlines) {
        ListedFeed feed{TrimWhiteSpace(Wide(outline.xmlUrl)), TrimWhiteSpace(Wide(outline.text))};
        if (feed.name.empty())
            feed.name = TrimWhiteSpace(Wide(outline.title));
        if (!feed.address.empty())
            found.push_back(std::move(feed));
    }
    feeds = std::move(found);
    return true;
}

bool WriteFeedFile(const std::wstring& path, const std::vector<ListedFeed>& feeds, std::wstring& problem)
{
    std::vector<std::wstring> addresses;
    for (const ListedFeed& feed : feeds)
        addresses.push_back(feed.address);
    std::vector<FeedHealth> records = ReadFeedHealth(addresses);
    std::vector<OpmlOutline> outlines;
    outlines.reserve(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        FeedHealth* record = i < records.size() ? &records[i] : nullptr;
        if (record && !feeds[i].name.empty())
            record->name = feeds[i].name;
        OpmlOutline outline;
        outline.text = outline.title = Utf8(record ? FeedDisplayName(*record) : addresses[i]);
        if (record && !record->feedAddress.empty()) {
            outline.xmlUrl = Utf8(record->feedAddress);
            outline.htmlUrl = Utf8(addresses[i]);
        } else {
            outline.xmlUrl = Utf8(addresses[i]);
        }
        outlines.push_back(std::move(outline));
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    const std::string bytes = WriteOpml("Vexa feeds",
                                        Rfc822Date(now.wYear, now.wMonth, now.wDay, now.wDayOfWeek, now.wHour,
                                                   now.wMinute, now.wSecond),
                                        outlines);

    // Written beside the target first, so a failed write never leaves a file half replaced.
    const std::wstring temporary = path + L".vexa-new";
    DWORD error = ERROR_SUCCESS;
    {
        HANDLE created = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE) {
            error = GetLastError();
        } else {
            unique_handle file(created);
            DWORD written = 0;
            if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
                error = GetLastError();
            else if (written != bytes.size())
                error = ERROR_DISK_FULL;
            else if (!FlushFileBuffers(file.get()))
                error = GetLastError();
        }
    }
    if (error == ERROR_SUCCESS &&
        !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error != ERROR_SUCCESS) {
        DeleteFileW(temporary.c_str());
        problem = L"Could not write \"" + path + L"\": " + SystemMessage(error) + L".";
        return false;
    }
    return true;
}

std::wstring DescribeImport(const ImportCounts& counts, int listLimit)
{
    if (counts.added + counts.already + counts.full + counts.tooLong == 0)
        return L"The file lists no feeds";
    std::wstring text = counts.added == 0 ? L"Added no feeds"
                                          : L"Added " + CountOf(counts.added, L" feed", L" feeds");
    if (counts.already)
        text += L"; " + CountOf(counts.already, L" was already in the list", L" were already in the list");
    if (counts.full)
        text += L"; " + CountOf(counts.full, L" did not fit", L" did not fit") + L" (the list holds " +
                std::to_wstring(listLimit) + L")";
    if (counts.tooLong)
        text += L"; " + CountOf(counts.tooLong, L" address was too long to keep", L" addresses were too long to keep");
    return text;
}

ImportMerge MergeImport(const std::vector<std::wstring>& held, const std::vector<ListedFeed>& feeds,
                        std::size_t maxCount, std::size_t maxUnits)
{
    ImportMerge merge;
    std::vector<std::wstring> list = held;
    for (const ListedFeed& feed : feeds) {
        const bool known = std::any_of(list.begin(), list.end(), [&feed](const std::wstring& address) {
            return EqualIgnoringAsciiCase(address, feed.address);
        });
        if (known)
            ++merge.counts.already;
        else if (feed.address.size() >= maxUnits)
            ++merge.counts.tooLong;
        else if (list.size() >= maxCount)
            ++merge.counts.full;
        else {
            list.push_back(feed.address);
            merge.added.push_back(feed);
            ++merge.counts.added;
        }
    }
    return merge;
}

} // namespace vexa

// The feed list to and from an OPML file, for the settings page's Import and Export: the
// system's file dialogs (through a replaceable function, so tests give a path without a
// person), reading a file's addresses, writing the list with what the feed health records
// know of each feed, what an import adds to a list and the sentence that tells what it did.
#pragma once
#include <windows.h>
#include <commdlg.h>
#include <string>
#include <vector>

namespace vexa {

// Shows the open (save false) or save dialog as GetOpenFileNameW/GetSaveFileNameW do; tests
// put in a routine that fills ofn->lpstrFile. Returns the previous one; nullptr restores
// the system's dialogs.
using FileDialogFn = BOOL (*)(OPENFILENAMEW* ofn, bool save);
FileDialogFn SetFileDialogFn(FileDialogFn fn);

// Asks for an OPML file to read (save false) or to write; false when the user cancels.
bool AskForFeedFile(HWND owner, bool save, std::wstring& path);

// Files larger than this are not read.
constexpr unsigned long kMaxFeedFileBytes = 16ul << 20;

// A feed of a list file: its address and the name the file gives it (the outline's text,
// else its title; empty when it has neither).
struct ListedFeed {
    std::wstring address;
    std::wstring name;
};

// The feeds that an OPML file lists, in document order, address and name trimmed (blank
// addresses left out). False with a sentence for the user when the file cannot be read or
// is no OPML.
bool ReadFeedFile(const std::wstring& path, std::vector<ListedFeed>& feeds, std::wstring& problem);

// Writes `feeds` in their order as an OPML 2.0 file, web page addresses from the feed health
// records. Each outline is called by the feed's own title when its record knows it, else by
// the feed's name (as given here, else as its record keeps it), else by its address. The
// file is replaced only once the new one is complete. False with a sentence for the user
// when it cannot be written.
bool WriteFeedFile(const std::wstring& path, const std::vector<ListedFeed>& feeds, std::wstring& problem);

struct ImportCounts {
    int added = 0;    // put into the list
    int already = 0;  // the list held them (or the file named them twice)
    int full = 0;     // the list was full
    int tooLong = 0;  // too long for the feed list to keep
};
// What importing `feeds` into a list holding `held` (its addresses, trimmed) does: a feed
// is new unless the list holds its address (the stored list's comparison: ASCII case
// ignored), and taken while its address is shorter than maxUnits and the list holds fewer
// than maxCount. `added` are the feeds taken, in the file's order.
struct ImportMerge {
    ImportCounts counts;
    std::vector<ListedFeed> added;
};
ImportMerge MergeImport(const std::vector<std::wstring>& held, const std::vector<ListedFeed>& feeds,
                        std::size_t maxCount, std::size_t maxUnits);

// "Added 12 feeds; 3 were already in the list; 2 did not fit (the list holds 100)".
std::wstring DescribeImport(const ImportCounts& counts, int listLimit);

} // namespace vexa

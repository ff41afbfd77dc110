// Feed documents from a grammar of RSS, with the logical events that a reader must deliver
// for them, an independent model of which records the store must hold, and byte mutators.
// Portable: the Windows fuzzer and the native sanitizer build share it.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/fuzz/rng.h"

namespace fuzz {

// One event of a document's logical content: start and end tags by local name, and text
// as UTF-16 code units after every entity, character reference, CDATA section and line end
// has been resolved. A start tag carries its namespace and the attributes that the rules
// read (local name and value, UTF-8), where the document gives them.
struct Event {
    enum Type { Start, End, Text } type;
    std::string name;
    std::u16string text;
    std::string ns;
    std::vector<std::pair<std::string, std::string>> attributes;
};

// Where an entry of the document (one not inside another) lies, by byte offsets.
struct EntrySpan {
    std::size_t begin = 0, end = 0;            // its start tag's '<' to past its end tag
    std::size_t firstEvent = 0, endEvent = 0;  // its events, [first, end)
    std::vector<std::size_t> marks;            // where each tag inside it begins (its end tag's too)
    std::vector<std::pair<std::size_t, std::size_t>> cdata; // its CDATA sections
    std::vector<std::pair<std::size_t, std::size_t>> wraps; // an element inside it: past its start tag, past its end tag
};

struct FeedCase {
    std::string bytes;          // the document as served
    std::string encoding;       // how its characters are encoded
    std::vector<Event> events;  // what a conforming reader reports for it
    bool usesEntities = false;  // refers to entities of its DOCTYPE
    std::vector<EntrySpan> entrySpans; // as generated; empty once its bytes were reshaped
};

// ASCII markup written in a document's encoding (UTF-16 takes two bytes a character).
std::string AsciiIn(const std::string& encoding, const std::string& ascii);

// A random feed, RSS or Atom: channel(s) or a feed, entries, the field elements in any order and number, nested
// and unknown elements, attributes, namespaces and prefixes, CDATA, entities, character
// references, comments, processing instructions, a DOCTYPE with internal entities, and one
// of the encodings the reader decodes.
FeedCase GenerateFeed(Rng& rng);

// A feed as the web serves it: now and then one in a legacy encoding (gb2312, Shift_JIS, KOI8-R,
// windows-1251), else a generated one, half of the time with the web's byte shapes over it (CR LF
// or lone CR line ends, a comment past 64 KB, a bare '&', HTML named entities; events stay).
FeedCase WebFeed(Rng& rng);

// Byte mutations: flip, cut, repeat, splice (with `other`), insert markup; one to four of them.
std::string Mutate(Rng& rng, const std::string& bytes, const std::string& other);

// Event-level mutations for the native build: drop, duplicate, insert and rename events.
void MutateEvents(Rng& rng, std::vector<Event>& events);

// The record fields, in the store's order.
enum FieldIndex { kAuthor, kTitle, kLink, kPrice, kPublished, kDescription, kFieldCount };

// An entry the parsing rules complete: the runs of text that reached each field. A run is
// the text between a field's start tag and the next tag; the reader may deliver it in any
// number of pieces.
struct ModelEntry {
    std::array<std::vector<std::u16string>, kFieldCount> runs;
    std::string link; // Atom: the address from a link's attributes, which the link's runs follow
    std::string base; // the base in force for the entry: its RSS link's text is read against it
};

// The parsing rules, written from their description: the entries completed by the events,
// in document order, before the store's key rule decides which of them are kept. `address`
// is the feed's own address, against which relative links are read.
// `container`, when given, tells whether the events opened the format's container.
std::vector<ModelEntry> ModelEntries(const std::vector<Event>& events, const std::string& address,
                                     bool* container = nullptr);

// A reference read against a base address (RFC 3986, 5.2), written here again for the model.
std::string ModelResolve(const std::string& base, const std::string& reference);

// What the store holds, as the fuzzer reads it back.
struct StoredRecord {
    int num = -1;
    std::string key;    // the map key
    std::string rssId;
    std::array<std::string, kFieldCount> fields;
};
// The records of a store or of a record sink (CRssItem), in their order.
template <class Records>
std::vector<StoredRecord> StoredRecords(const Records& records)
{
    std::vector<StoredRecord> out;
    for (const auto& r : records)
        out.push_back({r.NUM, r.RssID, r.RssID, {r.Author, r.Title, r.Genre, r.Price, r.Published, r.Description}});
    return out;
}

// How the reader wrapper hands text over.
enum class Delivery {
    // One run between two tags: delivered when it holds more than white space, cut to 799
    // units (never inside a surrogate pair), as UTF-8 (a lone surrogate: U+FFFD).
    RunsUtf8,
    // The same through the platform's reader under Wine, which hands a reference to a
    // carriage return (&#13;) over as a line feed.
    RunsUtf8CrAsLf,
};
std::string RunUtf8(const std::u16string& run, bool crAsLf = false); // the RunsUtf8 form of one run
// Runs that RunsUtf8CrAsLf matched with the stray line feed of Wine's reader before them.
extern long g_strayLineFeeds;

// Compares the store with the model: fields joined with nothing, the description's parts
// with a line feed. Empty when they agree, else what differs.
// `prefix`: the expected entries are the store's first records, more may follow.
std::string CompareStore(const std::vector<ModelEntry>& expected,
                         const std::vector<StoredRecord>& stored, Delivery delivery, bool prefix = false);

// One realisation of that delivery, for the native build: the pieces a reader could give.
std::vector<std::u16string> SplitText(Rng& rng, const std::u16string& text);

std::string Describe(const std::vector<Event>& events);
std::string Utf8(const std::u16string& text);

} // namespace fuzz

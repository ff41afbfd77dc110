// The pure format/ functions built for Linux under AddressSanitizer and
// UndefinedBehaviorSanitizer: the real rules, their parsed value and the store's merge of it
// (format/feedrules.cpp, store/rssstore.cpp, store/feedrecords.cpp) are driven by the feed
// grammar's events, delivered in random pieces the way the reader wrapper hands them over,
// and compared with the model, and the grammar's
// documents go to the reader's markup guard; the UTF-8 and UTF-16 conversions get random
// text; web pages go to the head scanner (tests/fuzz/target_html.cpp).
//   fuzz_native [--seed N] [--count N] [--seconds S] [--target feeds|text|html|all]
//               [--replay FILE] [--out PREFIX]
#include <vector>

#include "format/feedrules.h"
#include "format/markupguard.h"
#include "format/textrun.h"
#include "format/utf8.h"
#include "store/rssstore.h"
#include "tests/fuzz/feedgen.h"
#include "tests/fuzz/runner.h"

using namespace vexa;

namespace {

constexpr int kNameLimit = 199;
constexpr int kTextLimit = 799;

const std::vector<fuzz::Event>* g_document = nullptr;
fuzz::Rng* g_pieces = nullptr;

bool Blank(const std::u16string& piece)
{
    for (char16_t u : piece)
        if (!(u == 0x20 || (u >= 0x09 && u <= 0x0D))) return false;
    return true;
}

constexpr fuzz::Delivery kDelivery = fuzz::Delivery::RunsUtf8;
const char kAddress[] = "http://127.0.0.1/feeds/feed.xml";

// The wrapper's delivery: depth kept per tag; the reader's pieces of text collected into one
// run per stretch between tags by the product's own TextRun.
bool Deliver(IXmlParserCallback& callback)
{
    int depth = 0;
    vexa::TextRun<kTextLimit> run;
    std::string_view text;
    auto endRun = [&] {
        if (run.Pending() && run.Take(text)) callback.OnCharacters(text, depth);
    };
    for (const fuzz::Event& e : *g_document) {
        if (e.type == fuzz::Event::Text) {
            for (const std::u16string& piece : fuzz::SplitText(*g_pieces, e.text)) {
                run.Append(piece.data(), piece.size(), Blank(piece));
            }
            continue;
        }
        endRun();
        XmlElement element;
        element.isStart = e.type == fuzz::Event::Start;
        element.name = e.name.substr(0, kNameLimit);
        if (element.isStart) {
            element.ns = e.ns;
            element.depth = ++depth;
            element.attributes.emplace_back("a", "b");
            // The wrapper leaves out attributes without a value.
            for (const auto& attribute : e.attributes)
                if (!attribute.second.empty()) element.attributes.push_back(attribute);
            callback.OnStartElement(element);
        } else {
            element.depth = --depth;
            callback.OnEndElement(element);
        }
        if (callback.IsAborted(element)) return false;
    }
    endRun();
    return depth == 0;
}

// The conversions between UTF-16 and UTF-8, and the wire form of an address, against their
// rules written here again.
std::string RunText(std::uint64_t inputSeed, std::string* shown)
{
    fuzz::Rng rng(inputSeed);
    std::u16string units;
    int n = rng.Chance(10) ? rng.Range(780, 820) : rng.Range(0, 40);
    for (int i = 0; i < n; ++i) {
        switch (rng.Below(6)) {
        case 0: units += static_cast<char16_t>(0xD800 + rng.Below(0x400)); break; // high half
        case 1: units += static_cast<char16_t>(0xDC00 + rng.Below(0x400)); break; // low half
        case 2: units += static_cast<char16_t>(0xD800 + rng.Below(0x400));
                units += static_cast<char16_t>(0xDC00 + rng.Below(0x400)); break;
        case 3: units += static_cast<char16_t>(0x80 + rng.Below(0xD780)); break;
        default: units += static_cast<char16_t>(rng.Below(0x80));
        }
    }
    if (shown) *shown = fuzz::Utf8(units);
    // UTF-16 to UTF-8, cut to 799 units.
    std::string got = vexa::utf::ToUtf8(units.data(), units.size(), 799);
    if (got != fuzz::RunUtf8(units)) return "ToUtf8 differs from the rule";
    // And back: what was whole comes back unit for unit (lone halves as U+FFFD).
    std::u16string back = vexa::utf::FromUtf8<char16_t>(got);
    std::string again = vexa::utf::ToUtf8(back.data(), back.size());
    if (again != got) return "UTF-8 does not survive a round trip through UTF-16";
    // Random bytes: never more units than the limit, and valid UTF-8 out of them.
    std::string bytes;
    int b = rng.Range(0, 60);
    for (int i = 0; i < b; ++i) bytes += static_cast<char>(rng.Chance(50) ? rng.Below(256) : 0x80 + rng.Below(0x40));
    std::size_t limit = rng.Below(70);
    std::u16string wide = vexa::utf::FromUtf8Bytes<char16_t>(bytes.data(), bytes.size(), limit);
    if (wide.size() > limit) return "FromUtf8Bytes passed its limit";
    for (std::size_t i = 0; i < wide.size(); ++i) {
        bool high = wide[i] >= 0xD800 && wide[i] <= 0xDBFF, low = wide[i] >= 0xDC00 && wide[i] <= 0xDFFF;
        if (low || (high && !(i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF)))
            return "FromUtf8Bytes made a lone surrogate";
        if (high) ++i;
    }
    // The wire form of an address is ASCII, and an ASCII address stays as it is.
    std::u16string url = u"http://h" + units.substr(0, 30) + u"/p" + units.substr(units.size() > 30 ? 30 : units.size());
    for (char16_t u : vexa::utf::UrlForTheWire(url))
        if (u >= 0x80) {
            // The host part stays as written.
            std::size_t host = url.find(u'/', 7);
            if (url.find(u) >= host) return "UrlForTheWire left a character outside ASCII in the path";
        }
    std::u16string ascii = u"http://h/a b?c#d";
    if (vexa::utf::UrlForTheWire(ascii) != ascii) return "UrlForTheWire changed an ASCII address";
    return std::string();
}

// One input: one to three documents loaded into one store, compared at the end.
std::string RunInput(std::uint64_t inputSeed, std::string* shown)
{
    fuzz::Rng rng(inputSeed);
    std::vector<fuzz::ModelEntry> expected;
    vexa::CRssStore store;
    vexa::FeedRules rules;
    int documents = rng.Chance(70) ? 1 : rng.Range(2, 3);
    for (int d = 0; d < documents; ++d) {
        fuzz::FeedCase doc = fuzz::GenerateFeed(rng);
        // The grammar's names are short: every document it writes fits the reader as it is.
        if (!vexa::MarkupFitsTheReader(doc.bytes.data(), doc.bytes.size()))
            return "a generated document does not fit the reader";
        std::vector<fuzz::Event> events = std::move(doc.events);
        if (rng.Chance(50)) fuzz::MutateEvents(rng, events);
        if (shown) *shown += fuzz::Describe(events) + "\n";
        std::vector<fuzz::ModelEntry> entries = fuzz::ModelEntries(events, kAddress);
        expected.insert(expected.end(), entries.begin(), entries.end());
        g_document = &events;
        g_pieces = &rng;
        // As the parse hands its value to the store: a whole read gives the feed's listing.
        rules.Reset(kAddress);
        const bool whole = Deliver(rules);
        vexa::ParsedFeed feed;
        feed.entries = rules.TakeEntries();
        feed.unfinished = rules.TakeUnfinished();
        store.Merge(kAddress, std::move(feed), whole);
        g_document = nullptr;
    }
    return fuzz::CompareStore(expected, fuzz::StoredRecords(store.Items()), kDelivery);
}

} // namespace

namespace fuzz {
std::string RunHtmlInput(std::uint64_t inputSeed, std::string* shown); // tests/fuzz/target_html.cpp
}

struct NativeTarget {
    const char* name;
    std::string (*run)(std::uint64_t, std::string*);
};

int main(int argc, char** argv)
{
    fuzz::Options o;
    if (!fuzz::ParseOptions(argc, argv, o)) return 2;
    const NativeTarget targets[] = {{"feeds-native", RunInput}, {"text-native", RunText},
                                    {"html-native", fuzz::RunHtmlInput}};
    std::string replayed; // a replay runs its one input
    std::uint64_t replaySeed = 0;
    if (!o.replay.empty() && !fuzz::ReadReplay(o.replay, replayed, replaySeed)) {
        std::fprintf(stderr, "fuzz: cannot read %s\n", o.replay.c_str());
        return 2;
    }
    fuzz::Tally total;
    for (const NativeTarget& t : targets) {
        std::string name = t.name;
        if (!o.replay.empty()) {
            if (replayed != name) continue;
            std::string shown;
            std::string failure = t.run(replaySeed, &shown);
            std::printf("%s\n", shown.c_str());
            total.inputs = 1;
            if (!failure.empty()) {
                std::printf("mismatch: %s\n", failure.c_str());
                total.mismatches = 1;
            }
            continue;
        }
        if (o.target != "all" && name.compare(0, o.target.size(), o.target) != 0) continue;
        fuzz::Tally tally;
        fuzz::Budget budget(o);
        const std::uint64_t salt = name == "feeds-native" ? 0 : 0x7E47;
        for (long long i = 0; budget.More(i); ++i) {
            std::uint64_t inputSeed = fuzz::InputSeed(o.seed ^ salt, static_cast<std::uint64_t>(i));
            std::string failure = t.run(inputSeed, nullptr);
            ++tally.inputs;
            if (!failure.empty()) {
                ++tally.mismatches;
                std::string shown;
                t.run(inputSeed, &shown);
                fuzz::WriteFailure(o, t.name, inputSeed, "mismatch", failure, shown);
            }
        }
        std::printf("%s\n", tally.Line(t.name).c_str());
        total.Add(tally);
    }
    std::printf("%s\n", total.Line().c_str());
    return total.Clean() ? 0 : 1;
}

// The parsing rules built for Linux under AddressSanitizer and UndefinedBehaviorSanitizer:
// the real store (feeds/rssstore.cpp) is driven by the feed grammar's events, delivered in
// random pieces as the reader wrapper delivers them, and compared with the model.
//   fuzz_native [--seed N] [--count N] [--seconds S] [--replay FILE] [--out PREFIX]
#include <vector>

#include "feeds/rssstore.h"
#include "tests/fuzz/feedgen.h"
#include "tests/fuzz/native/parser_stub.h"
#include "tests/fuzz/runner.h"

namespace {

constexpr int kNameLimit = 199;
constexpr int kTextLimit = 799;

const std::vector<fuzz::Event>* g_document = nullptr;
fuzz::Rng* g_pieces = nullptr;

// The wrapper's delivery: depth kept per tag, blank pieces dropped, pieces cut to 799
// units and narrowed one unit at a time.
bool Deliver(const std::string&, IXmlParserCallback& callback)
{
    int depth = 0;
    for (const fuzz::Event& e : *g_document) {
        if (e.type == fuzz::Event::Text) {
            for (const std::u16string& piece : fuzz::SplitText(*g_pieces, e.text)) {
                bool blank = true;
                for (char16_t u : piece) blank = blank && (u == 0x20 || (u >= 0x09 && u <= 0x0D));
                if (blank) continue;
                std::string narrow;
                for (std::size_t i = 0; i < piece.size() && i < static_cast<std::size_t>(kTextLimit); ++i)
                    narrow += fuzz::NarrowLatin1(piece[i]);
                callback.OnCharacters(narrow, depth);
            }
            continue;
        }
        XmlElement element;
        element.isStart = e.type == fuzz::Event::Start;
        element.name = e.name.substr(0, kNameLimit);
        if (element.isStart) {
            element.depth = ++depth;
            element.attributes.emplace_back("a", "b");
            callback.OnStartElement(element);
        } else {
            element.depth = --depth;
            callback.OnEndElement(element);
        }
        if (callback.IsAborted(element)) return false;
    }
    return depth == 0;
}

// One input: one to three documents loaded into one store, compared at the end.
std::string RunInput(std::uint64_t inputSeed, std::string* shown)
{
    fuzz::Rng rng(inputSeed);
    std::vector<fuzz::ModelEntry> expected;
    CRssStore store;
    int documents = rng.Chance(70) ? 1 : rng.Range(2, 3);
    for (int d = 0; d < documents; ++d) {
        std::vector<fuzz::Event> events = fuzz::GenerateFeed(rng).events;
        if (rng.Chance(50)) fuzz::MutateEvents(rng, events);
        if (shown) *shown += fuzz::Describe(events) + "\n";
        std::vector<fuzz::ModelEntry> entries = fuzz::ModelEntries(events);
        expected.insert(expected.end(), entries.begin(), entries.end());
        g_document = &events;
        g_pieces = &rng;
        store.Load("http://127.0.0.1/feed.xml");
        g_document = nullptr;
    }
    std::vector<fuzz::StoredRecord> stored;
    for (const auto& [key, record] : store.m_items) {
        fuzz::StoredRecord r;
        r.num = record->NUM;
        r.key = key;
        r.rssId = record->RssID;
        r.fields = {record->Author, record->Title, record->Genre, record->Price, record->Published,
                    record->Description};
        stored.push_back(r);
    }
    return fuzz::CompareStore(expected, stored, fuzz::Delivery::PiecesLatin1);
}

} // namespace

int main(int argc, char** argv)
{
    fuzz::Options o;
    if (!fuzz::ParseOptions(argc, argv, o)) return 2;
    native::g_parse = Deliver;
    fuzz::Tally tally;
    if (!o.replay.empty()) {
        std::string target;
        std::uint64_t inputSeed = 0;
        if (!fuzz::ReadReplay(o.replay, target, inputSeed)) {
            std::fprintf(stderr, "fuzz: cannot read %s\n", o.replay.c_str());
            return 2;
        }
        std::string shown;
        std::string failure = RunInput(inputSeed, &shown);
        std::printf("%s", shown.c_str());
        tally.inputs = 1;
        if (!failure.empty()) {
            std::printf("mismatch: %s\n", failure.c_str());
            tally.mismatches = 1;
        }
    } else {
        fuzz::Budget budget(o);
        for (long long i = 0; budget.More(i); ++i) {
            std::uint64_t inputSeed = fuzz::InputSeed(o.seed, static_cast<std::uint64_t>(i));
            std::string failure = RunInput(inputSeed, nullptr);
            ++tally.inputs;
            if (!failure.empty()) {
                ++tally.mismatches;
                std::string shown;
                RunInput(inputSeed, &shown);
                fuzz::WriteFailure(o, "feeds-native", inputSeed, "mismatch", failure, shown);
            }
        }
    }
    std::printf("%s\n", tally.Line().c_str());
    return tally.Clean() ? 0 : 1;
}

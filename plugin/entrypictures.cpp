#include "plugin/entrypictures.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "com/check.h"
#include "com/owners.h"
#include "net/connectiongate.h"
#include "plugin/feedaddress.h"
#include "plugin/cardpicture.h"

namespace vexa {

namespace {

constexpr char kCardMark[] = "card";

void AppendPixels(std::string& out, const Pixels& pixels)
{
    out.append(reinterpret_cast<const char*>(pixels.data.data()), pixels.Bytes());
}

bool TakePixels(const std::string& in, std::size_t& at, int side, Pixels& pixels)
{
    const std::size_t bytes = static_cast<std::size_t>(side) * side * 4;
    if (in.size() < at + bytes) return false;
    pixels.width = pixels.height = side;
    pixels.data.resize(static_cast<std::size_t>(side) * side);
    std::memcpy(pixels.data.data(), in.data() + at, bytes);
    at += bytes;
    return true;
}

// The turns of the decodes: at most EntryPictures::kDecodes at once in the process, as a
// decode takes memory in proportion to its picture and a refresh may bring hundreds. One
// semaphore for the process; the counts are for tests.
HANDLE DecodeTurns() noexcept
{
    static const unique_handle turns(CreateSemaphoreW(nullptr, EntryPictures::kDecodes, EntryPictures::kDecodes, nullptr));
    return turns.get();
}
std::atomic<long> g_decoding{0};
std::atomic<long> g_mostDecoding{0}; // the most at once since last asked

// One decode's turn, waited for at most `waitMs`; given back when it goes.
class DecodeTurn {
public:
    explicit DecodeTurn(DWORD waitMs) noexcept
        : m_held(WaitForSingleObject(DecodeTurns(), waitMs) == WAIT_OBJECT_0)
    {
        if (!m_held) return;
        const long now = ++g_decoding;
        long most = g_mostDecoding.load();
        while (now > most && !g_mostDecoding.compare_exchange_weak(most, now)) {}
    }
    ~DecodeTurn()
    {
        if (!m_held) return;
        --g_decoding;
        ReleaseSemaphore(DecodeTurns(), 1, nullptr);
    }
    DecodeTurn(const DecodeTurn&) = delete;
    DecodeTurn& operator=(const DecodeTurn&) = delete;
    bool Held() const noexcept { return m_held; }

private:
    const bool m_held;
};

// Decodes and fits pictures on the download workers, in their own apartment.
class PictureWorker final : public BodyWorker {
public:
    std::string Work(const std::string& body) const override { return WorkPicture(body); }
};
const PictureWorker g_worker;
DWORD g_waitMs = EntryPictures::kWaitMs;

} // namespace

std::string WorkPicture(const std::string& body)
{
    DecodeTurn turn(EntryPictures::kDecodeWaitMs);
    if (!turn.Held()) return std::string(); // too many pictures before it: given up
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::string product;
    VEXA_TRY
        Pixels decoded;
        if (DecodePicture(body.data(), body.size(), decoded, EntryPictures::kDecodeCpuMs) == PictureVerdict::Decoded) {
            product = kCardMark;
            AppendPixels(product, FitPicture(decoded, kCardSide));
            AppendPixels(product, FitPicture(decoded, kCardSideLarge));
        }
    VEXA_CATCH_LOG
    if (VEXA_OK(init)) CoUninitialize();
    return product;
}

long EntryPictures::MostDecodesAtOnce() noexcept { return g_mostDecoding.exchange(g_decoding.load()); }

bool ReadCard(const std::string& product, PictureCache::Card& card)
{
    std::size_t at = sizeof kCardMark - 1;
    return product.compare(0, at, kCardMark) == 0 && TakePixels(product, at, kCardSide, card.normal) &&
           TakePixels(product, at, kCardSideLarge, card.large) && at == product.size();
}

DWORD EntryPictures::SetWait(DWORD ms) { return std::exchange(g_waitMs, ms); }

EntryPictures::~EntryPictures()
{
    for (auto& pending : m_pending)
        if (pending.second.job) pending.second.job->Abandon();
}

EntryPictures::RunningCount EntryPictures::CountRunning() const
{
    RunningCount running;
    for (const auto& pending : m_pending)
        if (pending.second.job) {
            ++running.perServer[pending.second.server];
            ++running.total;
        }
    return running;
}

std::size_t EntryPictures::Running() const noexcept
{
    std::size_t total = 0;
    VEXA_TRY
        total = CountRunning().total;
    VEXA_CATCH_LOG
    return total;
}

void EntryPictures::StartQueued()
{
    RunningCount running = CountRunning();
    const ULONGLONG now = GetTickCount64();
    for (auto it = m_queued.begin(); it != m_queued.end() && running.total < kRunning;) {
        Asked& pending = m_pending.at(*it);
        if (running.perServer[pending.server] >= kRunningPerServer) {
            ++it;
            continue;
        }
        FetchRequest request;
        request.url = FeedAddress(*it).wire;
        request.discover = false;
        request.maxBytes = kMaxBytes;
        request.worker = &g_worker;
        request.yields = true;
        pending.job.attach(FetchJob::Start(request));
        if (pending.job) {
            ++running.perServer[pending.server];
            ++running.total;
        } else {
            m_cache.Fail(*it, now);
            m_pending.erase(*it);
        }
        it = m_queued.erase(it);
    }
}

void EntryPictures::Harvest()
{
    const ULONGLONG now = GetTickCount64();
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (!it->second.job || !it->second.job->IsDone()) { ++it; continue; }
        FetchResult result = it->second.job->TakeResult();
        PictureCache::Card card;
        if (ReadCard(result.product, card)) m_cache.Put(it->first, std::move(card));
        else m_cache.Fail(it->first, now);
        it = m_pending.erase(it);
    }
    // The objects of cards the cache let go are let go too (the items keep theirs).
    for (auto it = m_shown.begin(); it != m_shown.end();)
        it = m_cache.Has(it->first) ? std::next(it) : m_shown.erase(it);
    StartQueued();
}

void EntryPictures::Fetch(const std::vector<CRssItem*>& records, const std::string& feed, ULONGLONG deadline)
{
    std::vector<const CRssItem*> named;
    for (const CRssItem* record : records)
        if (!record->Picture.empty() && !record->IsShown) named.push_back(record);
    // The newest first: the entries a feed lists first were read first.
    std::sort(named.begin(), named.end(), [](const CRssItem* a, const CRssItem* b) { return a->NUM < b->NUM; });
    const ULONGLONG now = GetTickCount64();
    std::size_t ofFeed = static_cast<std::size_t>(
        std::count_if(m_pending.begin(), m_pending.end(), [&](const auto& p) { return p.second.feed == feed; }));
    std::vector<std::string> asked;
    for (const CRssItem* record : named) {
        if (ofFeed >= kPerFeed || m_pending.size() >= kMaxPending) break;
        const std::string& address = record->Picture;
        if (m_pending.count(address) || !m_cache.Wanted(address, now)) continue;
        m_pending[address] = Asked{feed, ServerOf(FeedAddress(address).wire), nullptr};
        m_queued.push_back(address);
        asked.push_back(address);
        ++ofFeed;
    }
    if (asked.empty()) return;
    StartQueued();
    // A test that lengthens a turn's wait lengthens the refresh's with it.
    const ULONGLONG budget = std::max<ULONGLONG>(kRefreshWaitMs, g_waitMs);
    const ULONGLONG left = m_waitedMs < budget ? budget - m_waitedMs : 0;
    deadline = std::min(deadline, now + std::min<ULONGLONG>(g_waitMs, left));
    // Waits for this turn's pictures; as any download ends, a queued one starts in its place.
    for (;;) {
        const bool waiting = std::any_of(asked.begin(), asked.end(),
                                         [this](const std::string& address) { return m_pending.count(address) != 0; });
        const ULONGLONG at = GetTickCount64();
        if (!waiting || at >= deadline) break;
        std::vector<HANDLE> ends;
        for (const auto& pending : m_pending)
            if (pending.second.job) {
                pending.second.job->WaitUntil(0); // one whose worker is stuck past its bound ends here
                ends.push_back(pending.second.job->DoneEvent());
            }
        if (ends.empty()) break; // nothing runs, so nothing of this turn can come
        WaitForMultipleObjects(static_cast<DWORD>(ends.size()), ends.data(), FALSE, static_cast<DWORD>(deadline - at));
        Harvest();
    }
    m_waitedMs += GetTickCount64() - now;
    Harvest();
}

long EntryPictures::OnCards(const std::vector<CRssItem*>& records) noexcept
{
    return static_cast<long>(std::count_if(records.begin(), records.end(), [](const CRssItem* r) { return r->OnCard; }));
}

com_ptr<IPicture> EntryPictures::Card(CRssItem& record)
{
    const std::string& address = record.Picture;
    const PictureCache::Card* card = address.empty() ? nullptr : m_cache.Find(address);
    if (!card) {
        if (!address.empty()) m_shown.erase(address);
        return com_ptr<IPicture>();
    }
    const bool large = ScreenWantsLargeCards();
    const COLORREF background = GetSysColor(COLOR_WINDOW);
    Shown& shown = m_shown[address];
    if (!shown.picture || shown.large != large || shown.background != background) {
        shown.picture.reset();
        MakeCardPicture(large ? card->large : card->normal, background, shown.picture);
        shown.large = large;
        shown.background = background;
    }
    com_ptr<IPicture> picture = shown.picture;
    if (picture) record.OnCard = true;
    else m_shown.erase(address);
    return picture;
}

} // namespace vexa

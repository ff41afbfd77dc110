#include "plugin/entrypictures.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "com/check.h"
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
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::string product;
    VEXA_TRY
        Pixels decoded;
        if (DecodePicture(body.data(), body.size(), decoded) == PictureVerdict::Decoded) {
            product = kCardMark;
            AppendPixels(product, FitPicture(decoded, kCardSide));
            AppendPixels(product, FitPicture(decoded, kCardSideLarge));
        }
    VEXA_CATCH_LOG
    if (SUCCEEDED(init)) CoUninitialize();
    return product;
}

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
        if (pending.second) pending.second->Abandon();
}

void EntryPictures::Harvest()
{
    const ULONGLONG now = GetTickCount64();
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (!it->second->IsDone()) { ++it; continue; }
        FetchResult result = it->second->TakeResult();
        PictureCache::Card card;
        if (ReadCard(result.product, card)) m_cache.Put(it->first, std::move(card));
        else m_cache.Fail(it->first, now);
        it = m_pending.erase(it);
    }
    // The objects of cards the cache let go are let go too (the items keep theirs).
    for (auto it = m_shown.begin(); it != m_shown.end();)
        it = m_cache.Has(it->first) ? std::next(it) : m_shown.erase(it);
}

void EntryPictures::Fetch(const std::vector<CRssItem*>& records, ULONGLONG deadline)
{
    std::vector<const CRssItem*> named;
    for (const CRssItem* record : records)
        if (!record->Picture.empty() && !record->IsShown) named.push_back(record);
    // The newest first: the entries a feed lists first were read first.
    std::sort(named.begin(), named.end(), [](const CRssItem* a, const CRssItem* b) { return a->NUM < b->NUM; });
    const ULONGLONG now = GetTickCount64();
    std::vector<FetchJob*> started;
    for (const CRssItem* record : named) {
        if (started.size() == kPerFeed) break;
        const std::string& address = record->Picture;
        if (m_pending.count(address) || !m_cache.Wanted(address, now)) continue;
        FetchRequest request;
        request.url = FeedAddress(address).wire;
        request.discover = false;
        request.maxBytes = kMaxBytes;
        request.worker = &g_worker;
        request.yields = true;
        com_ptr<FetchJob> job;
        job.attach(FetchJob::Start(request));
        if (!job) {
            m_cache.Fail(address, now);
            continue;
        }
        started.push_back(job.get());
        m_pending.emplace(address, std::move(job));
    }
    if (started.empty()) return;
    // A test that lengthens a turn's wait lengthens the refresh's with it.
    const ULONGLONG budget = std::max<ULONGLONG>(kRefreshWaitMs, g_waitMs);
    const ULONGLONG left = m_waitedMs < budget ? budget - m_waitedMs : 0;
    deadline = std::min(deadline, now + std::min<ULONGLONG>(g_waitMs, left));
    for (FetchJob* job : started)
        if (!job->WaitUntil(deadline)) break;
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

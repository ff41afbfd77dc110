// The turns of a refresh: planned and started in list order, then waited for and loaded in
// list order.
#include "plugin/refreshcycle.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "com/check.h"
#include "net/connectiongate.h"
#include "userdata/feedhealth.h"
#include "userdata/registryhelper.h"

namespace vexa {

namespace {
DWORD g_tickWaitMs = 2000;
// Every feed of a full list may be asked at once.
static_assert(CRegistryHelper::kMaxDest <= kMaxConnections, "a refresh's feeds share no connection");
} // namespace

DWORD RefreshCycle::SetTickWait(DWORD ms) { return std::exchange(g_tickWaitMs, ms); }

RefreshCycle::~RefreshCycle()
{
    for (LateFeed& late : m_late)
        if (late.job) late.job->Abandon();
}

void RefreshCycle::DropEndedDownloads()
{
    m_late.erase(std::remove_if(m_late.begin(), m_late.end(),
                                [](const LateFeed& f) { return !f.job || f.job->IsDone(); }),
                 m_late.end());
}

void RefreshCycle::Run(bool clear, const std::function<void()>& loaded)
{
    std::vector<Turn> turns = PlanTurns(clear);
    // A start-up or a Value1 write waits for every download (each ends by its deadlines). A
    // tick waits a bounded time: a download not done by then is a failed load for this
    // refresh, and its result is used at its feed's turn in the next one.
    const ULONGLONG deadline = clear ? ~0ull : GetTickCount64() + g_tickWaitMs;
    m_pictures.BeginRefresh();
    if (clear) // the panel was cleared: no item shows a picture
        for (CRssItem& record : Store().Items()) record.OnCard = false;
    for (Turn& turn : turns) {
        m_pictures.Harvest();
        if (!RunTurn(turn, deadline))
            continue;
        // The pictures of the entries it read, before their items are made.
        VEXA_TRY
            m_pictures.Fetch(Store().Listed(turn.feed.key), turn.feed.key, deadline);
        VEXA_CATCH_LOG
        loaded();
        // Its health counts the pictures its cards show.
        VEXA_TRY
            m_health.RecordPictures(turn.feed.listed, m_pictures.OnCards(Store().Listed(turn.feed.key)));
        VEXA_CATCH_LOG
    }
}

std::vector<RefreshCycle::Turn> RefreshCycle::PlanTurns(bool clear)
{
    auto registry = std::make_unique<CRegistryHelper>();
    registry->LoadOrSeed();
    std::vector<LateFeed> late = std::move(m_late);
    m_late.clear();
    const std::vector<std::wstring> list = registry->List();
    VEXA_TRY
        m_health.BeginRefresh(list);
    VEXA_CATCH_LOG
    std::vector<Turn> turns;
    for (const std::wstring& listed : list) {
        FeedAddress feed;
        if (!FeedAddress::FromList(listed, feed)) {
            VEXA_TRY
                m_health.RecordUnreadable(listed, HealthNow());
            VEXA_CATCH_LOG
            continue;
        }
        turns.push_back(PlanTurn(std::move(feed), clear, late));
    }
    // Downloads of feeds no longer on the list are not wanted any more.
    for (LateFeed& gone : late)
        if (gone.job) gone.job->Abandon();
    return turns;
}

RefreshCycle::Turn RefreshCycle::PlanTurn(FeedAddress feed, bool clear, std::vector<LateFeed>& late)
{
    Turn turn;
    turn.feed = std::move(feed);
    // A download from an earlier tick counts for this refresh: it is not started again (for
    // a clearing refresh, only one still running).
    auto taken = std::find_if(late.begin(), late.end(), [&](const LateFeed& f) { return f.key == turn.feed.key; });
    if (taken != late.end()) {
        turn.download = true;
        turn.job = std::move(taken->job);
        late.erase(taken);
        return turn;
    }
    FetchRequest request;
    // A clearing refresh is the user asking (or the start-up): it asks even a server that
    // asked for a pause; ticks wait for the pause to end.
    switch (m_loader.PlanLoad(turn.feed, request, clear)) {
    case FeedLoader::Plan::Reader:
        break;
    case FeedLoader::Plan::Refused:
        turn.download = true;
        turn.held = m_loader.HasReader(); // else: no reader, which its record says
        break;
    case FeedLoader::Plan::Fresh:
        turn.fresh = true;
        break;
    case FeedLoader::Plan::Download:
        turn.download = true;
        turn.job.attach(FetchJob::Start(request));
        break;
    }
    return turn;
}

bool RefreshCycle::RunTurn(Turn& turn, ULONGLONG deadline)
{
    if (turn.fresh)
        return false;
    if (!turn.download) {
        const bool loaded = m_loader.Load(turn.feed);
        NoteHealth(turn.feed.listed);
        return loaded;
    }
    if (turn.job && !turn.job->WaitUntil(deadline)) {
        // Still running: its record changes when its result is used.
        m_late.push_back(LateFeed{turn.feed.key, std::move(turn.job)});
        return false;
    }
    FetchResult result;
    if (turn.job)
        result = turn.job->TakeResult();
    const bool loaded = m_loader.LoadDownloaded(turn.feed, result);
    // A feed held by its server's pause keeps the record that the pause left.
    if (!turn.held)
        NoteHealth(turn.feed.listed);
    return loaded;
}

void RefreshCycle::NoteHealth(const std::wstring& listed) noexcept
{
    VEXA_TRY
        m_health.Record(listed, m_loader.LastLoad(), HealthNow());
    VEXA_CATCH_LOG
}

} // namespace vexa

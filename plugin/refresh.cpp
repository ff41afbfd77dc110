// The refresh cycle: reads the feed list, loads every feed into the store and shows every
// entry not shown before. http and https feeds download side by side on worker threads
// (their requests start in list order as far as the connection limits allow); everything
// else (parsing, the store, the host) happens here on the host's thread, in list order.
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "com/check.h"
#include "net/connectiongate.h"
#include "store/rssstore.h"
#include "userdata/healthbook.h"
#include "plugin/plugin.h"
#include "plugin/textconvert.h"
#include "userdata/registryhelper.h"

namespace vexa {

namespace {
DWORD g_tickWaitMs = 2000;
// Every feed of a full list may be asked at once.
static_assert(CRegistryHelper::kMaxDest <= vexa::kMaxConnections, "a refresh's feeds share no connection");
} // namespace

DWORD CVexaPlugin::SetTickWait(DWORD ms) { return std::exchange(g_tickWaitMs, ms); }

template <typename Work>
void CVexaPlugin::RunExclusive(Work work)
{
    m_refreshing = true;
    // A refresh that throws ends here, reported; the next one runs as usual.
    VEXA_TRY
        work();
    VEXA_CATCH_LOG
    m_refreshing = false;
}

void CVexaPlugin::Refresh(bool clear)
{
    // Nothing to refresh before a start-up has created the store.
    if (!m_store) return;
    if (m_refreshing) {
        // One run at a time. A Value1 write from inside a host call of the running one is
        // kept and runs right after it; a tick is dropped.
        if (clear) m_clearAgain = true;
        return;
    }
    RunExclusive([&] { RunRefresh(clear); });
    RunQueued();
}

void CVexaPlugin::RunQueued()
{
    while (m_store && std::exchange(m_clearAgain, false))
        RunExclusive([&] { RunRefresh(true); });
}

void CVexaPlugin::RunRefresh(bool clear)
{
    // A clearing refresh asks every feed again: a download that ended before it began may
    // hold an answer older than the user's request and is dropped; one still running is
    // taken over and waited for.
    if (clear)
        m_late.erase(std::remove_if(m_late.begin(), m_late.end(),
                                    [](const LateFeed& f) { return !f.job || f.job->IsDone(); }),
                     m_late.end());
    auto helper = m_helperUnknown.try_query<IDisplayPluginHelper>();
    if (clear && VEXA_VERIFY(helper != 0))
        VEXA_CHECK_HR(helper->RemoveAllContentItems());

    // Every download starts now; their requests begin in list order as connections allow. A
    // download that outlived an earlier tick's wait is taken over at its feed's turn.
    struct Turn {
        std::string address;
        std::wstring wide;  // as the feed list holds it
        bool download = false;
        bool held = false;  // not asked now: its server's pause runs
        bool fresh = false; // not asked now: its last answer is still fresh; nothing changes
        vexa::com_ptr<vexa::FetchJob> job; // null for a download refused or not started
    };
    std::vector<Turn> turns;
    {
        auto registry = std::make_unique<CRegistryHelper>();
        registry->LoadOrSeed();
        std::vector<LateFeed> late = std::move(m_late);
        m_late.clear();
        const std::vector<std::wstring> list = registry->List();
        VEXA_TRY
            if (m_health) m_health->BeginRefresh(list);
        VEXA_CATCH_LOG
        for (const std::wstring& sAddr : list) {
            Turn turn;
            if (!vexa::NarrowUtf8(sAddr, turn.address)) {
                VEXA_TRY
                    if (m_health) m_health->RecordUnreadable(sAddr, HealthNow());
                VEXA_CATCH_LOG
                continue;
            }
            turn.wide = sAddr;
            // A download from an earlier tick counts for this refresh: it is not started
            // again (for a clearing refresh, only one still running).
            auto taken = std::find_if(late.begin(), late.end(),
                                      [&](const LateFeed& f) { return f.address == turn.address; });
            if (taken != late.end()) {
                turn.download = true;
                turn.job = std::move(taken->job);
                late.erase(taken);
            } else {
                vexa::FetchRequest request;
                // A clearing refresh is the user asking (or the start-up): it asks even a
                // server that asked for a pause; ticks wait for the pause to end.
                switch (m_store->PlanLoad(turn.address, request, clear)) {
                case CRssStore::Plan::Reader:
                    break;
                case CRssStore::Plan::Refused:
                    turn.download = true;
                    turn.held = m_store->HasReader(); // else: no reader, which its record says
                    break;
                case CRssStore::Plan::Fresh:
                    turn.fresh = true;
                    break;
                case CRssStore::Plan::Download:
                    turn.download = true;
                    turn.job.attach(vexa::FetchJob::Start(request));
                    break;
                }
            }
            turns.push_back(std::move(turn));
        }
        // Downloads of feeds no longer on the list are not wanted any more.
        for (LateFeed& gone : late)
            if (gone.job) gone.job->Abandon();
    }

    // A start-up or a Value1 write waits for every download (each ends by its deadlines). A
    // tick waits a bounded time: a download not done by then is a failed load for this
    // refresh, and its result is used at its feed's turn in the next one.
    const ULONGLONG deadline = clear ? ~0ull : GetTickCount64() + g_tickWaitMs;
    for (Turn& turn : turns) {
        if (turn.fresh)
            continue;
        if (!turn.download) {
            const bool loaded = m_store->Load(turn.address);
            NoteHealth(turn.wide);
            if (loaded)
                ShowNewRecords();
        } else if (turn.job && !turn.job->WaitUntil(deadline)) {
            // Still running: its record changes when its result is used.
            m_late.push_back(LateFeed{turn.address, std::move(turn.job)});
        } else {
            // A feed held by its server's pause keeps the record that the pause left.
            FinishDownload(turn.address, turn.job.get(), turn.held ? nullptr : &turn.wide);
        }
    }
    EndRefresh();
}

void CVexaPlugin::NoteHealth(const std::wstring& address) noexcept
{
    VEXA_TRY
        if (m_health) m_health->Record(address, m_store->LastLoad(), HealthNow());
    VEXA_CATCH_LOG
}

void CVexaPlugin::FinishDownload(const std::string& address, vexa::FetchJob* job, const std::wstring* health)
{
    vexa::FetchResult result;
    if (job)
        result = job->TakeResult();
    const bool loaded = m_store->LoadDownloaded(address, result);
    if (health)
        NoteHealth(*health);
    if (loaded)
        ShowNewRecords();
}

void CVexaPlugin::ShowNewRecords()
{
    // Keys are never removed (a shown record that no feed lists leaves its key behind) and a
    // shown mark is never taken back, so when the store holds no more keys than after a walk
    // that left every record shown, this walk would show nothing: it is skipped (an
    // unchanged feed costs no walk).
    if (m_store->Count() == m_shownThrough)
        return;
    // The items of this walk share one look-up of their helper's class; without it each item
    // looks the class up itself.
    vexa::com_ptr<IClassFactory> factory;
    if (VEXA_FAILED(CoGetClassObject(CLSID_DisplayContentItemHelper, CLSCTX_INPROC, nullptr, IID_IClassFactory,
                                     factory.put_void())))
        factory.reset();
    m_itemHelperFactory = factory.get();
    struct Lent {
        IClassFactory*& slot;
        ~Lent() { slot = nullptr; }
    } lent{m_itemHelperFactory};
    bool allShown = true;
    for (CRssItem& record : m_store->Items()) {
        if (!record.IsShown)
            ShowFeedItem(&record);
        allShown = allShown && record.IsShown;
    }
    if (allShown)
        m_shownThrough = m_store->Count();
}

void CVexaPlugin::EndRefresh()
{
    long display_state = 1;
    if (auto sidebar_site = m_site.try_query<IDisplaySite>())
        VEXA_CHECK_HR(sidebar_site->get_display_state(&display_state));
    if (display_state == 2)
        UpdateTitle();
}

} // namespace vexa

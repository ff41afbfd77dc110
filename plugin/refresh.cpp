// The plugin's side of a refresh: one run at a time, the panel cleared when asked, the turns
// of the refresh cycle (plugin/refreshcycle.h), and the new records shown through the host.
#include <utility>

#include "com/check.h"
#include "store/rssstore.h"
#include "plugin/plugin.h"
#include "plugin/refreshcycle.h"

namespace vexa {

DWORD CVexaPlugin::SetTickWait(DWORD ms) { return RefreshCycle::SetTickWait(ms); }

CRssStore* CVexaPlugin::Store() const noexcept { return m_cycle ? &m_cycle->Store() : nullptr; }
EntryPictures* CVexaPlugin::Pictures() const noexcept { return m_cycle ? &m_cycle->Pictures() : nullptr; }

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
    if (!m_cycle) return;
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
    while (m_cycle && std::exchange(m_clearAgain, false))
        RunExclusive([&] { RunRefresh(true); });
}

void CVexaPlugin::RunRefresh(bool clear)
{
    if (clear)
        m_cycle->DropEndedDownloads();
    auto helper = m_helperUnknown.try_query<IDisplayPluginHelper>();
    if (clear && VEXA_VERIFY(helper != 0))
        VEXA_CHECK_HR(helper->RemoveAllContentItems());
    m_cycle->Run(clear, [this] { ShowNewRecords(); });
    EndRefresh();
}

void CVexaPlugin::ShowNewRecords()
{
    // Keys are never removed (a shown record that no feed lists leaves its key behind) and a
    // shown mark is never taken back, so when the store holds no more keys than after a walk
    // that left every record shown, this walk would show nothing: it is skipped (an
    // unchanged feed costs no walk).
    CRssStore& store = m_cycle->Store();
    if (store.Count() == m_shownThrough)
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
    for (CRssItem& record : store.Items()) {
        if (!record.IsShown)
            ShowFeedItem(&record);
        allShown = allShown && record.IsShown;
    }
    if (allShown)
        m_shownThrough = store.Count();
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

// The refresh cycle: reads the feed list, loads every feed into the store and shows every
// entry not shown before.
#include <memory>
#include <new>
#include <string>

#include "com/check.h"
#include "feeds/rssstore.h"
#include "plugin/plugin.h"
#include "plugin/textconvert.h"
#include "settings/registryhelper.h"

void CVexaPlugin::Refresh(bool clear)
{
    // Nothing to refresh before a start-up has created the store; and one run at a time: a
    // tick or a Value1 write that arrives while a feed is being fetched is dropped.
    if (!m_store || m_refreshing) return;
    m_refreshing = true;
    try {
        auto helper = m_helperUnknown.try_query<IDisplayPluginHelper>();
        if (clear && VEXA_VERIFY(helper != 0))
            VEXA_CHECK_HR(helper->RemoveAllContentItems());

        auto registry = std::make_unique<CRegistryHelper>();
        registry->LoadOrSeed();
        for (int i = 0; i < registry->m_nDestCount && i < CRegistryHelper::kMaxDest; ++i) {
            std::wstring sAddr = registry->m_sDest[i];
            std::string strAddress;
            if (!vexa::NarrowUtf8(sAddr, strAddress))
                continue;
            if (!m_store->Load(strAddress))
                continue;
            // Records are never removed and a shown mark is never taken back, so when the
            // store holds no more records than after a walk that left every one shown, this
            // walk would show nothing: it is skipped (an unchanged feed costs no walk).
            if (m_store->Count() == m_shownThrough)
                continue;
            bool allShown = true;
            for (auto& entry : m_store->m_items) {
                CRssItem* record = entry.second;
                if (record && !record->IsShown)
                    ShowFeedItem(record);
                allShown = allShown && (!record || record->IsShown);
            }
            if (allShown)
                m_shownThrough = m_store->Count();
        }
        registry.reset();

        long display_state = 1;
        if (auto sidebar_site = m_site.try_query<IDisplaySite>())
            VEXA_CHECK_HR(sidebar_site->get_display_state(&display_state));
        if (display_state == 2)
            UpdateTitle();
    } catch (const std::bad_alloc&) {
        vexa::ReportFailure(__FILE__, __LINE__, "out of memory during a refresh");
    } catch (...) {
        // Nothing may leave through the timer window's procedure.
        vexa::ReportFailure(__FILE__, __LINE__, "exception during a refresh");
    }
    m_refreshing = false;
}

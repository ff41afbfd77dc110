// The feeds' health as the host shows it: the records that the plugin keeps in the per-user
// registry, read without the plugin, and the texts made of them for the panel window's mark
// and the sidebar program's "feeds" command.
#pragma once
#include <string>
#include <vector>

#include "userdata/feedhealth.h"

namespace host {

// Every record in the key, sorted by address as the settings page's list sorts them (the
// plugin keeps one record per address of its list and drops the others).
std::vector<vexa::FeedHealth> ReadFeedStatus();

// Whether a record counts as failing (failing, or paused by the server).
bool IsFailing(const vexa::FeedHealth& record);

// The text of the panel's mark: the summary, then one line per failing feed (its title, or
// its address, and what describes it), at most kMaxTipFeeds of them; empty when none fails.
constexpr std::size_t kMaxTipFeeds = 10;
std::wstring FailingFeedsText(const std::vector<vexa::FeedHealth>& records);

// One line of the "feeds" command:
//   "failing  http://a.example/rss  last success never, entries unknown: not found (HTTP 404)"
//   "loaded   http://b.example/rss  last success 14:02, 20 entries"
std::wstring FeedStatusLine(const vexa::FeedHealth& record);

} // namespace host

// The panel window's model without pixels: feed HTML reduced to text, row texts, wrapping
// against a measure, hit testing, selection and scrolling.
#include <windows.h>
#include <oleauto.h>

#include <optional>

#include <gtest/gtest.h>

#include "host/lib/hostlib.h"
#include "host/lib/panelview.h"

using host::HtmlToText;
using host::RowList;

namespace {

// Every character is 10 units wide: widths read as character counts.
host::TextMeasure Monospace()
{
    host::TextMeasure m;
    m.fit = [](const wchar_t*, int length, int width) { return std::min(length, std::max(width, 0) / 10); };
    m.width = [](const wchar_t*, int length) { return length * 10; };
    return m;
}

using Lines = std::vector<std::wstring>;

// Rows of 100 units in a view of 550: five whole rows a page.
RowList Rows(std::size_t count)
{
    RowList rows;
    rows.setMetrics(100, 550);
    rows.setCount(count);
    return rows;
}

// Feed HTML reduced to one line of text: white space collapsed, tags and what scripts, styles
// and comments hold dropped, character references decoded.
TEST(HtmlToText, ReducesMarkupToOneLineOfText)
{
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"", L""},
        {L"  one \r\n\t two  \n", L"one two"},
        {L"a\u00A0\u00A0b\u2028c", L"a b c"},
        {L"\x01" L"bell\x07", L"bell"},
        // Tags go, keeping words apart where they broke a line.
        {L"<p>Hello <b>world</b></p>", L"Hello world"},
        {L"wo<b>r</b>d", L"word"},
        {L"one<br>two<BR/>three<p>four</p>five", L"one two three four five"},
        {L"<a href=\"x.html\" title=\"a > b\">link</a> text", L"link text"},
        {L"<img src='a.png'>caption", L"caption"},
        {L"Fish &amp; chips &lt;3 &#65;&#x42;&#X43; caf&eacute; &quot;q&quot; it&#39;s",
         L"Fish & chips <3 ABC caf\u00E9 \"q\" it's"},
        {L"wait&hellip; &mdash; x&nbsp;y", L"wait\u2026 \u2014 x y"},
        {L"&#x1F600;", L"\U0001F600"},
        // Not references: left as written. References to no character: the replacement character.
        {L"AT&T & co &bogus; &#; &#xZZ; &amp", L"AT&T & co &bogus; &#; &#xZZ; &amp"},
        {L"&#0;&#xD800;&#x110000;&#99999999999999;", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
        // A decoded '<' is text, never the start of a tag.
        {L"&lt;b&gt;bold&lt;/b&gt;", L"<b>bold</b>"},
        {L"a<script>var s = '<b>x</b>';</script>b<!-- c <p> -->d<style>p { }</style>e", L"a bd e"},
        {L"<SCRIPT type=\"text/javascript\">x()</Script >ok", L"ok"},
        {L"<scripts>kept</scripts>", L"kept"},
        // Unclosed markup ends the text; a '<' that starts no tag is text.
        {L"Hello <b unclosed and more", L"Hello"},
        {L"a <!-- never closed", L"a"},
        {L"x<script>alert(1)", L"x"},
        {L"<a title=\"open quote>never", L""},
        {L"1 < 2 and 3 > 2, a<=b, <3", L"1 < 2 and 3 > 2, a<=b, <3"},
        {L"<p>\u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD</p>", L"\u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD"},
        {L"\u65E5\u672C\u8A9E <i>\u0442\u0435\u043A\u0441\u0442</i>", L"\u65E5\u672C\u8A9E \u0442\u0435\u043A\u0441\u0442"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(HtmlToText(row.first), row.second) << testing::PrintToString(row.first);
}

TEST(RowText, RowsAreBuiltFromTheItemsTexts)
{
    using Text = std::optional<std::wstring>;
    struct Case {
        const char* name;
        Text heading, source, snippet;             // the item as the plugin filled it
        const wchar_t *rowHeading, *body, *site;   // the row
    };
    const Case cases[] = {
        {"as the plugin fills it", L"News: ", L"Text", L"News:\nText\n\nhttp://example.org/news/1.html",
         L"News", L"Text", L"example.org"},
        {"html reduced, link's site with its port", L"Title: ", {},
         L"Title:\n<p>Hi &amp; <b>bye</b></p>\n<script>x</script>\n\nhttps://www.example.org:8080/p?q",
         L"Title", L"Hi & bye", L"example.org:8080"},
        {"a first line other than the heading and a last line not a link stay", L"Title: ", {},
         L"Other:\nBody\n\nsee http://example.org/", L"Title", L"Other: Body see http://example.org/", L""},
        {"without a snippet the source", {}, L"<i>only</i> the source", {}, L"", L"only the source", L""},
        {"unset texts are empty", {}, {}, {}, L"", L"", L""},
        {"a heading over several lines shows as one", L"  two\nlines:  ", L"<i>only</i> the source", {},
         L"two lines", L"only the source", L""},
    };
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::ItemState item;
        item.heading = c.heading;
        item.source = c.source;
        item.snippet = c.snippet;
        host::RowText row = host::MakeRowText(item, now);
        EXPECT_EQ(row.heading, c.rowHeading);
        EXPECT_EQ(row.body, c.body);
        EXPECT_EQ(row.site, c.site);
        EXPECT_EQ(row.time, L""); // no creation time set
        // The item's own texts are not changed.
        EXPECT_EQ(item.heading, c.heading);
        EXPECT_EQ(item.snippet, c.snippet);
    }
}

TEST(RowText, TimeIsLocalWithTheDateWhenNotToday)
{
    SYSTEMTIME utc = {};
    GetSystemTime(&utc);
    utc.wSecond = 0;
    utc.wMilliseconds = 0;
    DATE date = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&utc, &date));
    SYSTEMTIME local = {};
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));

    host::ItemState item;
    item.timeCreated = date;
    wchar_t expected[40];
    swprintf(expected, 40, L"%02u:%02u", local.wHour, local.wMinute);
    EXPECT_EQ(host::MakeRowText(item, local).time, expected);

    SYSTEMTIME later = local;
    later.wYear = static_cast<WORD>(later.wYear + 1);
    swprintf(expected, 40, L"%04u-%02u-%02u %02u:%02u", local.wYear, local.wMonth, local.wDay,
             local.wHour, local.wMinute);
    EXPECT_EQ(host::MakeRowText(item, later).time, expected);

    item.timeCreated = -1e12; // no calendar date
    EXPECT_EQ(host::MakeRowText(item, local).time, L"");
}

// Wrapping to a width and a number of lines: breaks at blanks, a word wider than the line
// broken, an ellipsis where the text is cut.
TEST(WrapText, BreaksAtBlanksAndEndsWithAnEllipsisWhereCut)
{
    const auto m = Monospace();
    const struct { const wchar_t* text; int width, lines; Lines expected; } rows[] = {
        {L"", 100, 3, {}},
        {L"   ", 100, 3, {}},
        {L"short", 100, 3, {L"short"}},
        {L"aaa bbb ccc", 70, 3, {L"aaa bbb", L"ccc"}},
        {L"aaaa bbbb", 40, 3, {L"aaaa", L"bbbb"}}, // the blank right after a full line is where it breaks
        {L"a  b", 10, 3, {L"a", L"b"}},
        {L"abcdefghij", 30, 5, {L"abc", L"def", L"ghi", L"j"}},
        {L"ab abcdefgh", 40, 5, {L"ab", L"abcd", L"efgh"}},
        {L"abc", 0, 5, {L"a", L"b", L"c"}}, // no width at all still makes progress, a character a line
        {L"abc", -50, 5, {L"a", L"b", L"c"}},
        {L"aaa bbb ccc ddd", 70, 1, {L"aaa bb\u2026"}},
        {L"aaa bbb ccc ddd eee", 70, 2, {L"aaa bbb", L"ccc dd\u2026"}},
        {L"aaaaa bbbbbb", 70, 1, {L"aaaaa\u2026"}}, // the blank before the cut is not kept
        {L"abc", 0, 2, {L"a", L"\u2026"}},
        {L"abc", 70, 0, {}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(host::WrapText(row.text, row.width, row.lines, m), row.expected)
            << testing::PrintToString(std::wstring(row.text)) << " in " << row.width << " x " << row.lines;

    // A heading of 2000 characters: two lines, each within the width.
    std::wstring heading;
    for (int i = 0; i < 400; ++i) heading += L"word ";
    const Lines lines = host::WrapText(heading, 200, 2, m);
    EXPECT_EQ(lines, (Lines{L"word word word word", L"word word word word\u2026"}));
    for (const std::wstring& line : lines) EXPECT_LE(m.width(line.data(), static_cast<int>(line.size())), 200);

    EXPECT_EQ(host::FitLine(L"fits", 40, m), L"fits");
    EXPECT_EQ(host::FitLine(L"too long", 40, m), L"too\u2026");
    EXPECT_EQ(host::FitLine(L"", 0, m), L"");
}

TEST(WrapText, NeverSplitsASurrogatePair)
{
    auto m = Monospace();
    const std::wstring face = L"\U0001F600";
    ASSERT_EQ(face.size(), 2u);
    EXPECT_EQ(host::WrapText(L"a" + face + L"b", 20, 5, m), (Lines{L"a", face, L"b"}));
    EXPECT_EQ(host::WrapText(face + face, 10, 5, m), (Lines{face, face}));
    EXPECT_EQ(host::FitLine(L"a" + face + L"bcd", 30, m), L"a\u2026");
}

TEST(WrapText, TellsRightToLeftText)
{
    EXPECT_TRUE(host::IsRightToLeft(L"\u05E9\u05DC\u05D5\u05DD"));
    EXPECT_TRUE(host::IsRightToLeft(L"2024 \u0645\u0631\u062D\u0628\u0627"));
    EXPECT_FALSE(host::IsRightToLeft(L"news \u05E9\u05DC\u05D5\u05DD"));
    EXPECT_FALSE(host::IsRightToLeft(L""));
    EXPECT_FALSE(host::IsRightToLeft(L"12 34"));
}

TEST(RowList, EmptyPanel)
{
    RowList rows = Rows(0);
    EXPECT_EQ(rows.hitTest(0), -1);
    std::size_t first = 9, last = 9;
    rows.visibleRange(&first, &last);
    EXPECT_EQ(first, last);
    EXPECT_TRUE(rows.key(VK_DOWN));
    EXPECT_EQ(rows.selected(), -1);
    EXPECT_FALSE(rows.wheel(-120, 3));
    EXPECT_FALSE(rows.scrollTo(500));
    EXPECT_EQ(rows.maxOffset(), 0);
    rows.select(3);
    EXPECT_EQ(rows.selected(), -1);
}

TEST(RowList, HitTestFollowsTheScrollOffset)
{
    RowList rows = Rows(20);
    for (const auto& [y, row] : {std::pair{-1, -1}, {0, 0}, {99, 0}, {100, 1}, {549, 5}, {550, -1}})
        EXPECT_EQ(rows.hitTest(y), row) << y;
    EXPECT_TRUE(rows.scrollTo(50));
    EXPECT_EQ(rows.hitTest(0), 0);
    EXPECT_EQ(rows.hitTest(50), 1);
    EXPECT_EQ(rows.rowTop(1), 50);

    // Below the last row is no row.
    rows.setCount(3);
    EXPECT_EQ(rows.offset(), 0);
    EXPECT_EQ(rows.hitTest(250), 2);
    EXPECT_EQ(rows.hitTest(300), -1);
}

TEST(RowList, FiveThousandRowsShowOnlyTheVisibleOnes)
{
    RowList rows = Rows(5000);
    std::size_t first = 0, last = 0;
    rows.visibleRange(&first, &last);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(last, 6u);
    EXPECT_EQ(rows.maxOffset(), 500000 - 550);
    EXPECT_TRUE(rows.scrollTo(250050));
    rows.visibleRange(&first, &last);
    EXPECT_EQ(first, 2500u);
    EXPECT_EQ(last, 2506u);
    EXPECT_FALSE(rows.scrollTo(1 << 30) && rows.offset() != rows.maxOffset());
    EXPECT_EQ(rows.offset(), rows.maxOffset());
    rows.visibleRange(&first, &last);
    EXPECT_EQ(last, 5000u);
    EXPECT_EQ(first, 4994u);
}

TEST(RowList, KeysMoveTheSelectionAndTheViewFollows)
{
    RowList rows = Rows(5000);
    // Each key: handled, the selection then, and the offset then (-1: not checked).
    const struct { UINT key; bool handled; int selected, offset; } presses[] = {
        {VK_DOWN, true, 0, -1}, {VK_UP, true, 0, -1},
        {VK_NEXT, true, 5, 50}, // row 5 fully in view
        {VK_DOWN, true, 6, 150}, {VK_PRIOR, true, 1, 100},
        {VK_END, true, 4999, rows.maxOffset()}, {VK_NEXT, true, 4999, -1}, {VK_HOME, true, 0, 0},
        {VK_RETURN, false, 0, -1}, {'A', false, 0, -1},
    };
    for (const auto& press : presses) {
        SCOPED_TRACE(press.key);
        EXPECT_EQ(rows.key(press.key), press.handled);
        EXPECT_EQ(rows.selected(), press.selected);
        if (press.offset >= 0) { EXPECT_EQ(rows.offset(), press.offset); }
    }

    // The panel shrinking under the selection drops it.
    rows.select(4000);
    rows.setCount(10);
    EXPECT_EQ(rows.selected(), -1);
    EXPECT_EQ(rows.offset(), rows.maxOffset());
    rows.select(2);
    rows.setCount(0);
    EXPECT_EQ(rows.selected(), -1);
    EXPECT_EQ(rows.offset(), 0);
}

TEST(RowList, WheelScrollsByLinesOrPages)
{
    RowList rows = Rows(50);
    EXPECT_FALSE(rows.wheel(120, 3)); // already at the top
    EXPECT_TRUE(rows.wheel(-120, 3)); // three lines of a quarter row each
    EXPECT_EQ(rows.offset(), 75);
    EXPECT_TRUE(rows.wheel(-60, 3)); // half a notch
    EXPECT_EQ(rows.offset(), 112);
    EXPECT_TRUE(rows.wheel(120, 3));
    EXPECT_EQ(rows.offset(), 37);
    EXPECT_TRUE(rows.wheel(-120, -1)); // a page a notch
    EXPECT_EQ(rows.offset(), 37 + 450);
    EXPECT_TRUE(rows.wheel(-120 * 1000, 3));
    EXPECT_EQ(rows.offset(), rows.maxOffset());
}

TEST(RowList, NewMetricsKeepTheTopRow)
{
    RowList rows = Rows(50);
    rows.scrollTo(250); // row 2 at the top
    rows.setMetrics(50, 300);
    EXPECT_EQ(rows.offset(), 100);
    rows.setMetrics(0, -5); // nonsense sizes do not divide by zero
    EXPECT_EQ(rows.rowHeight(), 1);
    EXPECT_EQ(rows.viewHeight(), 0);
}

} // namespace

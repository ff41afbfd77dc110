#!/usr/bin/env bash
# End to end with the sidebar: in a fresh Wine prefix of its own, register the host DLL and
# Vexa.dll with regsvr32, serve the sample feeds on a free loopback port (one over https, its
# test authority trusted in the prefix with trustca), put them in the feed list and run
# sidebar. It must create the plugin by ProgID and show the feed items; commands on its stdin
# open an http and an https item (the shell's "open" of both is pointed at reg.exe, which
# records the address), write Value1 (a clearing refresh that adds nothing again) and quit,
# and the timer tick must bring the town feed's new entry. The list also holds a website's
# page (its advertised feed's entries show), a feed the server does not have, a web page that
# advertises no feed and a broken document: the feeds command and --feeds at exit name each
# cause in words. Afterwards regsvr32 /u Vexa.dll leaves no Vexa key.
# (tests/e2e_register.sh checks the registration entries in detail.)
# Usage: bash tests/e2e_sidebar.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
source "$src/tests/support/e2e.sh"
e2e_prefix "$build" e2e-sidebar
PLUGIN=$CLSID_VexaPlugin
# Lines of the output after the last line matching $1.
after_last() { awk -v pat="$1" '$0 ~ pat { buf = ""; next } { buf = buf $0 "\n" } END { printf "%s", buf }' "$out"; }

for f in sidebar.exe Vexa.dll SidebarHost.dll trustca.exe; do
    [ -f "$build/$f" ] || die "$build/$f was not built"
done

e2e_boot
e2e_register
e2e_record_opens

# Sample feeds on a free port; the town feed gains an entry only when the script asks for one
# (after the Value1 refresh, before a tick), however long the start-up takes. One more feed
# over https, whose test authority this prefix is made to trust first.
python3 "$src/scripts/sample_feeds.py" --https-dir "$work/authority" --make-authority >/dev/null ||
    die "the sample feeds' authority was not made"
run "$build/trustca.exe" "$(winpath "$work/authority/ca.pem")" >/dev/null ||
    die "trustca did not add the sample feeds' authority"
e2e_feeds --interval 0 --https-dir "$work/authority"
[ -n "$secure_base" ] || die "the sample feed server did not start: $(cat "$work/feeds.log")"
# The world feed's address is Cyrillic: it goes in as written.
e2e_feed_list "${base}tech.xml" "${base}town.xml" "${base}мир.xml" "${base}releases.atom" "${secure_base}secure.xml" \
              "${base}missing.xml" "${base%feeds/}garden/" "${base%feeds/}broken/page.html" \
              "${base%feeds/}broken/bad.xml"

e2e_sidebar 120 --exit-after 90 --feeds

wait_for '^\[[0-9]+\] Library extends its hours: $' 60 || die "no feed items within 60 s"
wait_for '^\[[0-9]+\] 广州举办国际展览: $' 30 || die "no items from the world feed"
wait_for '^\[[0-9]+\] Vexa 1.1 released: $' 30 || die "no items from the Atom feed"
wait_for '^\[[0-9]+\] This feed came over https: $' 30 || die "no items from the https feed"
wait_for '^\[[0-9]+\] Seed swap in the garden: $' 30 || die "no items from the feed a website page advertises"
grep -q '^sidebar: plugins registered with the host:$' "$out" || fail "the registered plugins are not listed"
grep -q "^  $PLUGIN \"Vexa Plugin\": RSS Feed Viewer$" "$out" || fail "Vexa is not among the listed plugins"
grep -q "^sidebar: creating Vexa.VexaPlugin $PLUGIN from .*Vexa.dll$" "$out" || \
    fail "the plugin was not created by its ProgID from Vexa.dll"
grep -q '^title: Cindral  Plugin$' "$out" || fail "the title \"Cindral  Plugin\" was not shown"
grep -q '^display flags, mask: 0, 1$' "$out" || fail "the display flags were not shown"
for title in "Compiler release brings faster builds" "New display standard announced" \
             "Battery research update" "Market opens on Saturday" "Library extends its hours" \
             "This feed came over https"; do
    n=$(grep -c "^\[[0-9]*\] $title: $" "$out")
    [ "$n" = 1 ] || fail "item \"$title\" shown $n times"
done
# The world feed: every text exactly as written, one line where the feed has one.
for title in "北京今日天气晴朗" "上海股市大幅上涨" "广州举办国际展览" "Новости дня" "Café au lait €5"; do
    n=$(grep -c "^\[[0-9]*\] $title: $" "$out")
    [ "$n" = 1 ] || fail "item \"$title\" shown $n times"
done
grep -A1 -F '] Café au lait €5: ' "$out" | grep -q '^    source:  naïve$' || \
    fail "the description naïve is not shown whole on one line"
grep -A1 -F '] Новости дня: ' "$out" | grep -q '^    source:  Привет$' || fail "the Russian description"
# The Atom feed: its entries with their summaries and their links resolved.
grep -A5 -F '] Vexa 1.1 released: ' "$out" | grep -q '^    source:  Atom feeds are read as well as RSS\.$' || \
    fail "the Atom entry's summary is not its source"
grep -A5 -F '] Vexa 1.1 released: ' "$out" | grep -qF "             ${base%feeds/}releases/1.1.html" || \
    fail "the Atom entry's snippet does not end with its resolved link"
grep -A3 -F '] Battery research update: ' "$out" | grep -q '^    source:  A new cell design lasts longer in the cold\.$' || \
    fail "the item's source is not its description"
grep -A6 -F '] Battery research update: ' "$out" | grep -qF "             ${base%feeds/}tech/battery.html" || \
    fail "the item's snippet does not end with its link"

# feeds: one line per address, the failing one with its state and cause.
missing_line="^  failing  ${base}missing.xml  last success never, entries unknown: not found \\(HTTP 404\\)$"
echo "feeds" >&3
wait_for '^feeds: ' 20 || die "feeds gave no answer"
grep -Eq "$missing_line" "$out" || fail "feeds does not name the missing feed's cause"
grep -Eq "^  failing  ${base%feeds/}broken/page.html  .*: not a feed: a web page that advertises no feed$" "$out" ||
    fail "feeds does not name the web page's cause"
grep -Eq "^  failing  ${base%feeds/}broken/bad.xml  .*: not valid XML: line [0-9]+, column [0-9]+: " "$out" ||
    fail "feeds does not name the broken document's cause"
grep -Eq "^  loaded   ${base%feeds/}garden/  last success [0-9:]+, [0-9]+ entr(y|ies): web page; reading the feed it advertises: ${base%feeds/}garden/news.xml$" "$out" ||
    fail "feeds does not say that the website's page is read for its feed"

# open N: the item's OpenItem launches its link; so does an item whose link is https.
n=$(sed -n 's/^\[\([0-9]*\)\] Compiler release brings faster builds: $/\1/p' "$out" | head -n1)
echo "open $n" >&3
wait_for '^sidebar: OpenItem returned ' 20 || die "open $n gave no answer"
grep -q '^sidebar: OpenItem returned 0x00000000$' "$out" || fail "OpenItem did not return S_OK"
opened=$(e2e_opened)
[ "$opened" = "${base%feeds/}tech/compiler.html" ] || fail "opening item $n launched '$opened'"
n=$(sed -n 's/^\[\([0-9]*\)\] This feed came over https: $/\1/p' "$out" | head -n1)
echo "open $n" >&3
opened=$(e2e_opened "$opened")
[ "$opened" = "${secure_base%feeds/}secure/about.html" ] || fail "opening the https item $n launched '$opened'"

# refresh: a clearing refresh; every entry is shown already, so the panel stays empty.
echo "refresh" >&3
wait_for '^sidebar: writing Value1' 20 || die "refresh gave no answer"
echo "list" >&3
wait_for '^\(no items\)$' 20 || fail "the panel is not empty after the clearing refresh"
[ "$(grep -c '^-- panel cleared --$' "$out")" = 2 ] || fail "expected two clearings (start-up and Value1)"

# The 25-second tick brings the town feed's new entry without clearing.
python3 -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1]).read()' \
    "${base%feeds/}control/add" || die "cannot add an entry to the town feed"
wait_for '^\[[0-9]+\] Town bulletin 1 ' 50 || die "no new item from the timer tick"
after_last '^sidebar: writing Value1' | grep -q '^\[1\] Town bulletin 1 ' || \
    fail "the new entry is not item 1 of the panel after the clearing"
[ "$(grep -c '^-- panel cleared --$' "$out")" = 2 ] || fail "the timer tick cleared the panel"
dups=$(sed -n 's/^\[[0-9]*\] //p' "$out" | sort | uniq -d)
[ -z "$dups" ] || fail "items shown twice: $dups"

e2e_quit
# --feeds: the same lines again once the sidebar has stopped.
after_last '^sidebar: stopping' | grep -q '^feeds: ' || fail "--feeds printed nothing at exit"
after_last '^sidebar: stopping' | grep -Eq "$missing_line" || fail "--feeds does not name the missing feed's cause"

# Unregistering after a session: no Vexa key left.
run regsvr32 /s /u "$(winpath "$build/Vexa.dll")" || fail "regsvr32 /u Vexa.dll"
for key in "HKCR\\Vexa.VexaPlugin" "HKCR\\Vexa.VexaPlugin.1" "HKCR\\CLSID\\$PLUGIN" \
           "HKCU\\Software\\SidebarHost\\Plugins\\$PLUGIN"; do
    key_exists "$key" && fail "$key remains after regsvr32 /u"
done

e2e_result "sidebar end to end"
echo "--- sidebar output ---"; cat "$out"

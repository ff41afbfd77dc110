#!/usr/bin/env python3
"""Serves Vexa's sample feeds on the loopback interface, so the run command works without a
network. One of the feeds gains a new entry every minute, counted from its first request.

Usage: sample_feeds.py [--port 8025] [--interval 60]
Paths: /vexa/feeds/default.xml (the plugin's default destination), /vexa/feeds/tech.xml,
/vexa/feeds/town.xml, /vexa/feeds/releases.atom (an Atom feed, as code hosting sites publish
their releases) and /vexa/feeds/мир.xml (Russian "world", requested percent-encoded),
whose entries are in Chinese, Russian and French. With --port 0 the system picks a free
port. The first line printed names the address either way:
"sample feeds on http://127.0.0.1:PORT/vexa/feeds/".
"""
import argparse
import datetime
import html
import http.server
import threading
import time
import urllib.parse

# The town feed's clock starts at its first request, so its first new entry comes one
# interval after the first refresh, however long the start-up took.
START = None
START_LOCK = threading.Lock()

# Links are relative to the server's own address ("{base}" is http://127.0.0.1:PORT/vexa).
DEFAULT = [
    ("Vexa is running", "Your sidebar now shows the entries of your RSS feeds.",
     "{base}/about.html"),
    ("Adding feeds", "Open the settings page and add the address of any RSS feed.",
     "{base}/help/settings.html"),
]

TECH = [
    ("Compiler release brings faster builds", "Incremental builds are up to twice as fast.",
     "{base}/tech/compiler.html"),
    ("New display standard announced", "Higher refresh rates for office screens.",
     "{base}/tech/display.html"),
    ("Battery research update", "A new cell design lasts longer in the cold.",
     "{base}/tech/battery.html"),
]

TOWN = [
    ("Market opens on Saturday", "Fresh produce from local farms, 8 to 13 o'clock.",
     "{base}/town/market.html"),
    ("Library extends its hours", "Open until 21 o'clock on weekdays.",
     "{base}/town/library.html"),
]


# Texts in other scripts, written as they are (UTF-8 on the wire).
WORLD = [
    ("\u5317\u4eac\u4eca\u65e5\u5929\u6c14\u6674\u6717", "\u7b2c\u4e00\u6761",
     "{base}/world/beijing.html"),
    ("\u4e0a\u6d77\u80a1\u5e02\u5927\u5e45\u4e0a\u6da8", "\u7b2c\u4e8c\u6761",
     "{base}/world/shanghai.html"),
    ("\u5e7f\u5dde\u4e3e\u529e\u56fd\u9645\u5c55\u89c8", "\u7b2c\u4e09\u6761",
     "{base}/world/guangzhou.html"),
    ("\u041d\u043e\u0432\u043e\u0441\u0442\u0438 \u0434\u043d\u044f",
     "\u041f\u0440\u0438\u0432\u0435\u0442", "{base}/world/\u043d\u043e\u0432\u043e\u0441\u0442\u0438.html"),
    ("Caf\u00e9 au lait \u20ac5", "na\u00efve", "{base}/world/cafe.html"),
]
WORLD_PATH = "/vexa/feeds/\u043c\u0438\u0440.xml"


# Atom: (title, summary, link relative to the feed's address, updated).
RELEASES = [
    ("Vexa 1.1 released", "Atom feeds are read as well as RSS.", "../releases/1.1.html",
     "2024-06-01T12:00:00Z"),
    ("Vexa 1.0 released", "The first release.", "../releases/1.0.html", "2024-01-15T09:30:00Z"),
]


def text(value):
    # Element text: only <, > and & need escaping. Each character reference would reach the
    # plugin as a piece of its own, and it joins the pieces of a description with line feeds.
    return html.escape(value, quote=False)


def rss(title, base, entries):
    items = "".join(
        "  <item>\n"
        f"   <title>{text(t)}</title>\n"
        f"   <link>{text(l.format(base=base))}</link>\n"
        f"   <description>{text(d)}</description>\n"
        "  </item>\n" for (t, d, l) in entries)
    return ('<?xml version="1.0" encoding="utf-8"?>\n<rss version="2.0">\n <channel>\n'
            f"  <title>{text(title)}</title>\n"
            f"  <link>{text(base)}/</link>\n"
            f"  <description>{text(title)}</description>\n"
            f"{items} </channel>\n</rss>\n").encode("utf-8")


def atom(title, base, entries):
    items = "".join(
        "  <entry>\n"
        f"   <title>{text(t)}</title>\n"
        f'   <link rel="alternate" type="text/html" href="{html.escape(l)}"/>\n'
        f"   <id>{text(urllib.parse.urljoin(base + '/feeds/releases.atom', l))}</id>\n"
        f"   <updated>{u}</updated>\n"
        f"   <summary>{text(d)}</summary>\n"
        "   <author><name>Vexa team</name></author>\n"
        "  </entry>\n" for (t, d, l, u) in entries)
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            '<feed xmlns="http://www.w3.org/2005/Atom">\n'
            f"  <title>{text(title)}</title>\n"
            f'  <link rel="self" href="{html.escape(base)}/feeds/releases.atom"/>\n'
            f"  <id>{text(base)}/</id>\n"
            f"  <updated>{entries[0][3]}</updated>\n"
            f"{items}</feed>\n").encode("utf-8")


class Handler(http.server.BaseHTTPRequestHandler):
    interval = 60
    base = "http://127.0.0.1:8025/vexa"

    def do_GET(self):
        path = urllib.parse.unquote(self.path.split("?")[0].split("#")[0])
        if path == "/vexa/feeds/default.xml":
            body = rss("Vexa", self.base, DEFAULT)
        elif path == "/vexa/feeds/tech.xml":
            body = rss("Tech news", self.base, TECH)
        elif path == "/vexa/feeds/releases.atom":
            body = atom("Vexa releases", self.base, RELEASES)
        elif path == WORLD_PATH:
            body = rss("World", self.base, WORLD)
        elif path == "/vexa/feeds/town.xml":
            # One new entry per interval since the server started.
            global START
            with START_LOCK:
                if START is None:
                    START = time.time()
            n = int((time.time() - START) // self.interval)
            extra = []
            for i in range(1, n + 1):
                at = datetime.datetime.fromtimestamp(START + i * self.interval)
                extra.append((f"Town bulletin {i} ({at:%H:%M:%S})",
                              f"News from the town hall, number {i}.",
                              f"{{base}}/town/bulletin{i}.html"))
            body = rss("Town news", self.base, TOWN + extra)
        else:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/xml; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        # The town feed changes: no cached copy may stand in for it.
        self.send_header("Cache-Control", "no-cache, no-store")
        self.send_header("Expires", "0")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=8025)
    parser.add_argument("--interval", type=float, default=60)
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    Handler.interval = args.interval
    Handler.base = f"http://127.0.0.1:{port}/vexa"
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"sample feeds on http://127.0.0.1:{port}/vexa/feeds/", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()

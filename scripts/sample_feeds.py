#!/usr/bin/env python3
"""Serves Vexa's sample feeds on the loopback interface, so the run command works without a
network. One of the feeds gains a new entry every minute.

Usage: sample_feeds.py [--port 8025] [--interval 60]
Paths: /vexa/feeds/default.xml (the plugin's default destination), /vexa/feeds/tech.xml,
/vexa/feeds/town.xml.
"""
import argparse
import datetime
import html
import http.server
import threading
import time

START = time.time()

DEFAULT = [
    ("Vexa is running", "Your sidebar now shows the entries of your RSS feeds.",
     "http://127.0.0.1:8025/vexa/about.html"),
    ("Adding feeds", "Open the settings page and add the address of any RSS feed.",
     "http://127.0.0.1:8025/vexa/help/settings.html"),
]

TECH = [
    ("Compiler release brings faster builds", "Incremental builds are up to twice as fast.",
     "http://127.0.0.1:8025/vexa/tech/compiler.html"),
    ("New display standard announced", "Higher refresh rates for office screens.",
     "http://127.0.0.1:8025/vexa/tech/display.html"),
    ("Battery research update", "A new cell design lasts longer in the cold.",
     "http://127.0.0.1:8025/vexa/tech/battery.html"),
]

TOWN = [
    ("Market opens on Saturday", "Fresh produce from local farms, 8 to 13 o'clock.",
     "http://127.0.0.1:8025/vexa/town/market.html"),
    ("Library extends its hours", "Open until 21 o'clock on weekdays.",
     "http://127.0.0.1:8025/vexa/town/library.html"),
]


def rss(title, entries):
    items = "".join(
        "  <item>\n"
        f"   <title>{html.escape(t)}</title>\n"
        f"   <link>{html.escape(l)}</link>\n"
        f"   <description>{html.escape(d)}</description>\n"
        "  </item>\n" for (t, d, l) in entries)
    return ('<?xml version="1.0" encoding="utf-8"?>\n<rss version="2.0">\n <channel>\n'
            f"  <title>{html.escape(title)}</title>\n"
            "  <link>http://127.0.0.1:8025/vexa/</link>\n"
            f"  <description>{html.escape(title)}</description>\n"
            f"{items} </channel>\n</rss>\n").encode("utf-8")


class Handler(http.server.BaseHTTPRequestHandler):
    interval = 60

    def do_GET(self):
        path = self.path.split("?")[0].split("#")[0]
        if path == "/vexa/feeds/default.xml":
            body = rss("Vexa", DEFAULT)
        elif path == "/vexa/feeds/tech.xml":
            body = rss("Tech news", TECH)
        elif path == "/vexa/feeds/town.xml":
            # One new entry per interval since the server started.
            n = int((time.time() - START) // self.interval)
            extra = []
            for i in range(1, n + 1):
                at = datetime.datetime.fromtimestamp(START + i * self.interval)
                extra.append((f"Town bulletin {i} ({at:%H:%M})",
                              f"News from the town hall, number {i}.",
                              f"http://127.0.0.1:8025/vexa/town/bulletin{i}.html"))
            body = rss("Town news", TOWN + extra)
        else:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/xml; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=8025)
    parser.add_argument("--interval", type=int, default=60)
    args = parser.parse_args()
    Handler.interval = args.interval
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"sample feeds on http://127.0.0.1:{args.port}/vexa/feeds/", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()

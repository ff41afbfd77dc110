#!/usr/bin/env python3
"""Serves Vexa's sample feeds on the loopback interface, so the run command works without a
network. One of the feeds gains a new entry every minute.

Usage: sample_feeds.py [--port 8025] [--interval 60]
With --interval 0 the town feed gains an entry only when /vexa/control/add is requested (tests
use that, so that their timing does not depend on how fast the sidebar starts).
Paths: /vexa/feeds/default.xml (the plugin's default destination), /vexa/feeds/tech.xml,
/vexa/feeds/town.xml. With --port 0 the system picks a free port. The first line printed
names the address either way: "sample feeds on http://127.0.0.1:PORT/vexa/feeds/".

Every answer carries validators (ETag, Last-Modified); a conditional request for an unchanged
feed gets 304 without a body. One line per request is printed, e.g.
"GET /vexa/feeds/tech.xml 304 (0 body bytes)", so the log shows what each tick cost.
"""
import argparse
import datetime
import email.utils
import hashlib
import html
import http.server
import threading
import time

START = time.time()

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


class Handler(http.server.BaseHTTPRequestHandler):
    interval = 60
    added = []  # times of the entries added on request (--interval 0)
    base = "http://127.0.0.1:8025/vexa"

    def do_GET(self):
        path = self.path.split("?")[0].split("#")[0]
        if path == "/vexa/control/add":
            Handler.added.append(time.time())
            self.send_response(204)
            self.end_headers()
            return
        changed = START
        if path == "/vexa/feeds/default.xml":
            body = rss("Vexa", self.base, DEFAULT)
        elif path == "/vexa/feeds/tech.xml":
            body = rss("Tech news", self.base, TECH)
        elif path == "/vexa/feeds/town.xml":
            # One new entry per interval since the server started, or one per request of
            # /vexa/control/add.
            if self.interval > 0:
                n = int((time.time() - START) // self.interval)
                times = [START + i * self.interval for i in range(1, n + 1)]
            else:
                times = list(Handler.added)
            if times:
                changed = times[-1]
            extra = []
            for i, when in enumerate(times, 1):
                at = datetime.datetime.fromtimestamp(when)
                extra.append((f"Town bulletin {i} ({at:%H:%M:%S})",
                              f"News from the town hall, number {i}.",
                              f"{{base}}/town/bulletin{i}.html"))
            body = rss("Town news", self.base, TOWN + extra)
        else:
            self.send_error(404)
            self.note(404, 0)
            return
        etag = '"%s"' % hashlib.sha1(body).hexdigest()[:16]
        modified = email.utils.formatdate(changed, usegmt=True)
        unchanged = (self.headers.get("If-None-Match") == etag if self.headers.get("If-None-Match")
                     else self.headers.get("If-Modified-Since") == modified)
        self.send_response(304 if unchanged else 200)
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", modified)
        # The town feed changes: every request must come here to ask.
        self.send_header("Cache-Control", "no-cache")
        if unchanged:
            self.end_headers()
            self.note(304, 0)
            return
        self.send_header("Content-Type", "text/xml; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.note(200, len(body))

    def note(self, status, size):
        print(f"GET {self.path} {status} ({size} body bytes)", flush=True)

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

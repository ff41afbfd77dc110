#!/usr/bin/env python3
"""Serves Vexa's sample feeds on the loopback interface, so the run command works without a
network. One of the feeds gains a new entry every minute, counted from its first request.

Usage: sample_feeds.py [--port 8025] [--interval 60] [--keep-alive] [--https-dir DIR [--https-port 0]]
       sample_feeds.py --https-dir DIR --make-authority
With --interval 0 the town feed gains an entry only when /vexa/control/add is requested (tests
use that, so that their timing does not depend on how fast the sidebar starts).
Paths: /vexa/feeds/default.xml (the plugin's default destination), /vexa/feeds/tech.xml,
/vexa/feeds/town.xml, /vexa/feeds/releases.atom (an Atom feed, as code hosting sites publish
their releases) and /vexa/feeds/мир.xml (Russian "world", requested percent-encoded),
whose entries are in Chinese, Russian and French. /vexa/garden/ is a website's page, not a
feed: its head advertises its feed, /vexa/garden/news.xml, by a relative address (a list
with the page's address shows that feed's entries). With --port 0 the system picks a free
port. The first line printed names the address either way:
"sample feeds on http://127.0.0.1:PORT/vexa/feeds/".

With --https-dir, the same feeds and one more, /vexa/feeds/secure.xml, are also served over
https to "localhost", with a certificate signed by a test authority of the run's own, kept in
DIR (ca.pem; made with the openssl command when missing or about to expire). Whoever reads
them must trust ca.pem. Two more lines are printed first:
"authority DIR/ca.pem" and "secure feeds on https://localhost:PORT/vexa/feeds/".
--make-authority only makes (or keeps) the certificates, so they can be trusted before the
server starts.

--keep-alive answers as HTTP/1.1 and keeps connections open, as most servers do (without it
every answer closes its connection). For soaks, any number of numbered feeds of ten entries each: /vexa/feeds/steady/N.xml never
changes; /vexa/feeds/moving/N.xml moves on by one entry (one new, the oldest dropped) each
time it is sent whole.

Pictures: /vexa/pictures/NAME.png is a PNG of its own for every NAME (the tech feed's entries
and every numbered feed's entries name one each); /vexa/pictures/slow.png answers after 30 s,
/vexa/pictures/cut.png stops halfway, /vexa/pictures/bomb.png claims 20000 x 20000 pixels.

For trying what a failing feed looks like: /vexa/broken/page.html is a web page that
advertises no feed; /vexa/broken/bad.xml is a document cut off in the middle of an element;
/vexa/broken/silent.xml accepts the request and never answers; any other path is not found
(404).

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
import os
import ssl
import struct
import subprocess
import threading
import time
import urllib.parse
import zlib

# The town feed's clock starts at its first request, so its first new entry comes one
# interval after the first refresh, however long the start-up took.
START = None
START_LOCK = threading.Lock()
SERVED_SINCE = time.time()  # the Last-Modified of the feeds that never change

# Links are relative to the server's own address ("{base}" is http://127.0.0.1:PORT/vexa).
DEFAULT = [
    ("Vexa is running", "Your sidebar now shows the entries of your RSS feeds.",
     "{base}/about.html"),
    ("Adding feeds", "Open the settings page and add the address of any RSS feed.",
     "{base}/help/settings.html"),
]

# Each tech entry names its picture the way a different kind of site does.
TECH = [
    ("Compiler release brings faster builds", "Incremental builds are up to twice as fast.",
     "{base}/tech/compiler.html",
     '<media:thumbnail url="{base}/pictures/compiler.png" width="160" height="120"/>'),
    ("New display standard announced", "Higher refresh rates for office screens.",
     "{base}/tech/display.html",
     '<enclosure url="{base}/pictures/display.png" type="image/png" length="0"/>'),
    ("Battery research update", "A new cell design lasts longer in the cold.",
     "{base}/tech/battery.html",
     '<media:content url="{base}/pictures/battery.png" medium="image"/>'),
]

TOWN = [
    ("Market opens on Saturday", "Fresh produce from local farms, 8 to 13 o'clock.",
     "{base}/town/market.html"),
    ("Library extends its hours", "Open until 21 o'clock on weekdays.",
     "{base}/town/library.html"),
]

GARDEN = [
    ("Seed swap in the garden", "Found through the website's page, which names this feed.",
     "{base}/garden/swap.html"),
]

# The website page of the garden: a page, served as HTML, whose head advertises its feed.
GARDEN_PAGE = b"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Community garden</title>
<link rel="stylesheet" href="style.css">
<link rel="alternate" type="application/rss+xml" title="Garden news" href="news.xml">
</head><body><h1>Community garden</h1><p>Open every day.</p></body></html>
"""

SECURE = [
    ("This feed came over https", "Checked against the sample server's own test authority, "
     "which the run's Wine prefix trusts.", "{base}/secure/about.html"),
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
    # An entry is (title, description, link) with, optionally, markup that names its picture.
    items = "".join(
        "  <item>\n"
        f"   <title>{text(e[0])}</title>\n"
        f"   <link>{text(e[2].format(base=base))}</link>\n"
        f"   <description>{text(e[1])}</description>\n"
        + (f"   {e[3].format(base=html.escape(base))}\n" if len(e) > 3 else "") +
        "  </item>\n" for e in entries)
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            '<rss version="2.0" xmlns:media="http://search.yahoo.com/mrss/">\n <channel>\n'
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


MOVED = {}  # moving feed path -> how many times it moved on
MOVED_LOCK = threading.Lock()


def numbered(kind, n, first):
    return [(f"{kind.capitalize()} feed {n}, entry {i}",
             f"Entry {i} of {kind} feed {n}: a paragraph of news of the length that feeds "
             "usually give, neither a headline nor a whole article.",
             f"{{base}}/{kind}/{n}/{i}.html",
             f'<media:thumbnail url="{{base}}/pictures/{kind}-{n}-{i}.png"/>') for i in range(first, first + 10)]


def png(name, width=160, height=120):
    """A picture of its own for each name: a gradient in the name's colours and a disc."""
    digest = hashlib.sha1(name.encode("utf-8")).digest()
    a, b = digest[0:3], digest[3:6]
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            t = x / max(1, width - 1)
            inside = (x - width * 0.62) ** 2 + (y - height * 0.45) ** 2 < (height * 0.28) ** 2
            for k in range(3):
                value = a[k] * (1 - t) + b[k] * t
                rows.append(255 - int(value) // 3 if inside else int(value))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(rows))) + chunk(b"IEND", b""))


class Handler(http.server.BaseHTTPRequestHandler):
    interval = 60
    added = []  # times of the entries added on request (--interval 0)
    base = "http://127.0.0.1:8025/vexa"
    secure = False

    def do_GET(self):
        path = urllib.parse.unquote(self.path.split("?")[0].split("#")[0])
        if path == "/vexa/control/add":
            Handler.added.append(time.time())
            self.send_response(204)
            self.end_headers()
            return
        if path.startswith("/vexa/broken/"):
            self.send_broken(path)
            return
        if path.startswith("/vexa/pictures/") and path.endswith(".png"):
            self.send_picture(path[15:-4])
            return
        changed = SERVED_SINCE
        if path == "/vexa/feeds/default.xml":
            body = rss("Vexa", self.base, DEFAULT)
        elif path == "/vexa/garden/":
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(GARDEN_PAGE)))
            self.end_headers()
            self.wfile.write(GARDEN_PAGE)
            self.note(200, len(GARDEN_PAGE))
            return
        elif path == "/vexa/garden/news.xml":
            body = rss("Garden news", self.base, GARDEN)
        elif path == "/vexa/feeds/tech.xml":
            body = rss("Tech news", self.base, TECH)
        elif path == "/vexa/feeds/releases.atom":
            body = atom("Vexa releases", self.base, RELEASES)
        elif path == WORLD_PATH:
            body = rss("World", self.base, WORLD)
        elif path.startswith("/vexa/feeds/steady/"):
            body = rss("Steady", self.base, numbered("steady", path[19:], 0))
        elif path.startswith("/vexa/feeds/moving/"):
            with MOVED_LOCK:
                first = MOVED.get(path, 0)
                MOVED[path] = first + 1
            changed = time.time()
            body = rss("Moving", self.base, numbered("moving", path[19:], first))
        elif path == "/vexa/feeds/secure.xml" and self.secure:
            body = rss("Secure news", self.base, SECURE)
        elif path == "/vexa/feeds/town.xml":
            # One new entry per interval since the feed's first request, or one per request
            # of /vexa/control/add.
            if self.interval > 0:
                global START
                with START_LOCK:
                    if START is None:
                        START = time.time()
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

    def send_picture(self, name):
        # Pictures keep for an hour; "slow" answers after 30 s, "cut" stops halfway, "bomb"
        # claims 20000 x 20000 pixels.
        if name == "slow":
            time.sleep(30)
        body = png(name)
        if name == "cut":
            body = body[:len(body) // 2]
        elif name == "bomb":
            body = body[:16] + struct.pack(">II", 20000, 20000) + body[24:]
        self.send_response(200)
        self.send_header("Content-Type", "image/png")
        self.send_header("Cache-Control", "max-age=3600")
        self.send_header("ETag", '"%s"' % hashlib.sha1(body).hexdigest()[:16])
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.note(200, len(body))

    def send_broken(self, path):
        if path == "/vexa/broken/silent.xml":
            self.note(0, 0)
            time.sleep(3600)
            return
        if path == "/vexa/broken/page.html":
            body = b'<!DOCTYPE html>\n<html><head><title>Not a feed</title></head><body>Hello</body></html>\n'
            kind = "text/html; charset=utf-8"
        elif path == "/vexa/broken/bad.xml":
            body = (b'<?xml version="1.0"?>\n<rss version="2.0"><channel><title>Broken</title>\n'
                    b'<item><title>Half an entry</title><link>http://127.0.0.1/x</link>\n<descr')
            kind = "text/xml; charset=utf-8"
        else:
            self.send_error(404)
            self.note(404, 0)
            return
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.note(200, len(body))

    def note(self, status, size):
        print(f"GET {self.path} {status} ({size} body bytes)", flush=True)

    def log_message(self, fmt, *args):
        pass


def openssl(directory, *args):
    subprocess.run(("openssl",) + args, cwd=directory, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def certificates(directory):
    """The test authority and the server's certificate for localhost, made when missing or
    when the server's certificate ends within a day."""
    os.makedirs(directory, exist_ok=True)
    server = os.path.join(directory, "server.pem")
    if os.path.exists(server) and os.path.exists(os.path.join(directory, "ca.pem")) and \
            subprocess.run(["openssl", "x509", "-checkend", "86400", "-noout", "-in", server],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
        return
    openssl(directory, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
            "-out", "ca.pem", "-days", "3650", "-subj", "/CN=Vexa sample feeds test authority",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl(directory, "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key",
            "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(directory, "server.ext"), "w") as f:
        f.write("subjectAltName = DNS:localhost\nbasicConstraints = CA:FALSE\n"
                "extendedKeyUsage = serverAuth\n")
    openssl(directory, "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "365", "-extfile", "server.ext", "-out", "server.pem")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=8025)
    parser.add_argument("--interval", type=float, default=60)
    parser.add_argument("--keep-alive", action="store_true")
    parser.add_argument("--https-dir", help="serve over https too, with the authority kept here")
    parser.add_argument("--https-port", type=int, default=0)
    parser.add_argument("--make-authority", action="store_true",
                        help="only make the certificates in --https-dir (when needed) and end")
    args = parser.parse_args()
    if args.make_authority:
        if not args.https_dir:
            parser.error("--make-authority needs --https-dir")
        certificates(os.path.abspath(args.https_dir))
        print(f"authority {os.path.join(os.path.abspath(args.https_dir), 'ca.pem')}", flush=True)
        return
    if args.keep_alive:
        Handler.protocol_version = "HTTP/1.1"
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    Handler.interval = args.interval
    Handler.base = f"http://127.0.0.1:{port}/vexa"
    if args.https_dir:
        directory = os.path.abspath(args.https_dir)
        certificates(directory)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(directory, "server.pem"),
                                os.path.join(directory, "server.key"))
        secure = http.server.ThreadingHTTPServer(("127.0.0.1", args.https_port), SecureHandler)
        secure.daemon_threads = True
        # The handshake happens in the request's own thread (bounded there), not in accept.
        secure.socket = context.wrap_socket(secure.socket, server_side=True,
                                            do_handshake_on_connect=False)
        secure_port = secure.server_address[1]
        SecureHandler.interval = args.interval
        SecureHandler.base = f"https://localhost:{secure_port}/vexa"
        threading.Thread(target=secure.serve_forever, daemon=True).start()
        print(f"authority {os.path.join(directory, 'ca.pem')}", flush=True)
        print(f"secure feeds on https://localhost:{secure_port}/vexa/feeds/", flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"sample feeds on http://127.0.0.1:{port}/vexa/feeds/", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


class SecureHandler(Handler):
    secure = True

    def setup(self):
        # A client that never finishes the handshake must not hold a thread for ever.
        self.request.settimeout(30)
        super().setup()


if __name__ == "__main__":
    main()

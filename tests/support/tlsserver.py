#!/usr/bin/env python3
"""TLS front for the tests' loopback HTTP server.

Makes a certificate authority of its own for this run and server certificates signed by it
(good, expired, for another host name) plus a self-signed one, all made with the openssl
command. Each certificate gets its own loopback port: a TLS connection there is relayed, in
plain text, to the backend HTTP server (set as below). One more port accepts
connections and never answers, not even the TLS handshake, until it closes them after
--silence seconds.

The ports and the authority's certificate file are written to --out as name=value lines
(written whole, then renamed into place). The owner then connects to the "control" port and
keeps that connection: a line "backend PORT" there sets the HTTP server that later TLS
connections are relayed to (answered with "ok"). The process ends when the control connection
closes, or when its parent process goes away, so a test that dies leaves nothing running.
"""
import argparse
import os
import select
import socket
import ssl
import subprocess
import sys
import threading
import time

LEAVES = {
    # name: (subject alternative name, start, end); None means "now" and "in 30 days".
    "good": ("DNS:localhost", None, None),
    "expired": ("DNS:localhost", "20200101000000Z", "20210101000000Z"),
    "otherhost": ("DNS:other.test", None, None),
}

CA_CONFIG = """[ca]
default_ca = ca_default
[ca_default]
database = {d}/index.txt
new_certs_dir = {d}
certificate = {d}/ca.pem
private_key = {d}/ca.key
serial = {d}/serial
default_md = sha256
policy = policy_any
unique_subject = no
[policy_any]
commonName = supplied
"""


def openssl(*args, cwd):
    subprocess.run(("openssl",) + args, cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def utc(seconds_from_now):
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + seconds_from_now))


def make_certificates(d):
    """Writes ca.pem/ca.key and <name>.pem/<name>.key for every server certificate."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-subj", "/CN=Vexa Test Authority %d" % os.getpid(), "-days", "2",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
    with open(os.path.join(d, "ca.cnf"), "w") as f:
        f.write(CA_CONFIG.format(d=d))
    open(os.path.join(d, "index.txt"), "w").close()
    with open(os.path.join(d, "serial"), "w") as f:
        f.write("1000\n")
    # One key serves every server certificate.
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key",
            "-out", "server.csr", "-subj", "/CN=localhost", cwd=d)
    for name, (san, start, end) in LEAVES.items():
        with open(os.path.join(d, name + ".ext"), "w") as f:
            f.write("subjectAltName = %s\nbasicConstraints = CA:FALSE\n"
                    "keyUsage = critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage = serverAuth\n" % san)
        openssl("ca", "-batch", "-notext", "-config", "ca.cnf", "-in", "server.csr",
                "-out", name + ".pem", "-extfile", name + ".ext",
                "-startdate", start or utc(-3600), "-enddate", end or utc(30 * 86400), cwd=d)
    openssl("req", "-x509", "-key", "server.key", "-out", "selfsigned.pem", "-subj", "/CN=localhost",
            "-days", "30", "-addext", "subjectAltName=DNS:localhost", cwd=d)


def listener():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    return s


def relay(a, b):
    """Copies bytes both ways until either side ends."""
    sockets = [a, b]
    try:
        while True:
            # Bytes already decrypted inside the TLS object do not show in select.
            ready = [s for s in sockets if isinstance(s, ssl.SSLSocket) and s.pending()]
            if not ready:
                ready, _, _ = select.select(sockets, [], [], 60)
                if not ready:
                    return
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return
                (b if s is a else a).sendall(data)
    except (OSError, ssl.SSLError):
        return


backend_port = [0]


def serve_tls(sock, context):
    def handle(client):
        try:
            client.settimeout(10)
            tls = context.wrap_socket(client, server_side=True)
            tls.settimeout(None)
        except (OSError, ssl.SSLError):
            client.close()
            return
        try:
            upstream = socket.create_connection(("127.0.0.1", backend_port[0]), timeout=10)
            upstream.settimeout(None)
        except OSError:
            tls.close()
            return
        relay(tls, upstream)
        upstream.close()
        try:
            tls.unwrap()
        except (OSError, ssl.SSLError, ValueError):
            pass
        tls.close()

    while True:
        client, _ = sock.accept()
        threading.Thread(target=handle, args=(client,), daemon=True).start()


def serve_silence(sock, seconds):
    def hold(client):
        time.sleep(seconds)  # never answered; closed after a while
        client.close()

    while True:
        client, _ = sock.accept()
        threading.Thread(target=hold, args=(client,), daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--backend", type=int, default=0)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--silence", type=float, default=20,
                        help="seconds the silent port holds a connection before closing it")
    args = parser.parse_args()
    parent = os.getppid()
    backend_port[0] = args.backend
    os.makedirs(args.dir, exist_ok=True)
    make_certificates(args.dir)

    ports = {}
    for name in list(LEAVES) + ["selfsigned"]:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(args.dir, name + ".pem"),
                                os.path.join(args.dir, "server.key"))
        sock = listener()
        ports[name] = sock.getsockname()[1]
        threading.Thread(target=serve_tls, args=(sock, context), daemon=True).start()
    silent = listener()
    ports["silent"] = silent.getsockname()[1]
    threading.Thread(target=serve_silence, args=(silent, args.silence), daemon=True).start()
    control = listener()
    ports["control"] = control.getsockname()[1]

    with open(args.out + ".tmp", "w") as f:
        for name, port in ports.items():
            f.write("%s=%d\n" % (name, port))
        f.write("ca=%s\n" % os.path.join(args.dir, "ca.pem"))
    os.replace(args.out + ".tmp", args.out)

    # Wait for the owner's control connection, then for its end.
    control.settimeout(1)
    owner = None
    deadline = time.time() + 60
    while owner is None:
        if os.getppid() != parent or time.time() > deadline:
            return 1
        try:
            owner, _ = control.accept()
        except socket.timeout:
            pass
    commands = b""
    while os.getppid() == parent:
        ready, _, _ = select.select([owner], [], [], 1)
        if not ready:
            continue
        data = owner.recv(4096)
        if not data:
            break
        commands += data
        while b"\n" in commands:
            line, commands = commands.split(b"\n", 1)
            words = line.split()
            if len(words) == 2 and words[0] == b"backend" and words[1].isdigit():
                backend_port[0] = int(words[1])
                owner.sendall(b"ok\n")
            else:
                owner.sendall(b"error\n")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(1)

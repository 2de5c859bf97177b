#!/usr/bin/env python3
"""A hostile client of warehouse-server, for loopback only: it holds connections idle, sends
request heads a byte at a time, floods headers, announces huge bodies, sends deep JSON and long
texts as a signed-in user, guesses passwords and drips the bodies of refused requests, all for a
fixed time. Each kind of attack comes from a loopback address of its own, so that the per-address
limit meets each of them.

    hostile_client.py HOST PORT SECONDS USER:PASSWORD [ATTACKS]

ATTACKS, comma-separated, picks other sets instead of the default one ("default"):
  crowd      1024 idle, half-open TLS and slowloris connections from 8 addresses, each one
             opened again as soon as the server ends it
  slow_body  signed-in bodies (a search and an archive) sent at 1 byte a second
  budget     16 searches of 1 MiB held open, their last byte withheld, by the one signed-in user
  searchers  32 clients searching without pause (the query in SEARCH of the environment)
  wide_json  signed-in searches and claim documents of 1 MiB, {"a":[{},{},...]}, one after another
  nul_document  signed-in claim documents followed by a NUL byte and junk
  long_names  failed sign-ins under long unknown account names, each name new, some over the limit
  parallel_guesses  50 wrong passwords for ACME/bob from 50 connections at once

Prints one JSON object with what each attack saw."""

import base64
import json
import os
import resource
import selectors
import socket
import ssl
import sys
import threading
import time

HOST, PORT, SECONDS, SIGNED_IN = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
ATTACKS = set((sys.argv[5] if len(sys.argv) > 5 else "default").split(","))
START = time.monotonic()
END = START + SECONDS
CONTEXT = ssl.create_default_context()
CONTEXT.check_hostname = False
CONTEXT.verify_mode = ssl.CERT_NONE
AUTH = "Authorization: Basic " + base64.b64encode(SIGNED_IN.encode()).decode() + "\r\n"

results = {}
lock = threading.Lock()


def note(name, value):
    with lock:
        results.setdefault(name, []).append(value)


def connect(source, tls=True, timeout=None):
    raw = socket.create_connection((HOST, PORT), timeout=timeout if timeout else 5, source_address=(source, 0))
    if not tls:
        return raw
    return CONTEXT.wrap_socket(raw)


def status_of(sock):
    """The status of the answer, 0 when the connection ended without one."""
    answer = b""
    try:
        while b"\r\n" not in answer:
            piece = sock.recv(4096)
            if not piece:
                break
            answer += piece
    except (OSError, ssl.SSLError):
        pass
    return int(answer.split(b" ")[1]) if answer.startswith(b"HTTP/") else 0


def closed_by_server(sock, until):
    """Waits for the server to end the connection; the seconds it took, or None if it never did."""
    sock.settimeout(0.5)
    while time.monotonic() < until:
        try:
            if not sock.recv(4096):
                return time.monotonic() - START
        except socket.timeout:
            continue
        except (OSError, ssl.SSLError):
            return time.monotonic() - START
    return None


def idle_tcp(source, count):
    # Raw connections that never start the TLS handshake.
    sockets = []
    for _ in range(count):
        try:
            sockets.append(connect(source, tls=False))
        except OSError:
            note("idle_tcp_closed", 0.0)
    for sock in sockets:
        note("idle_tcp_closed", closed_by_server(sock, END))
        sock.close()


def idle_tls(source, count):
    sockets = []
    for _ in range(count):
        try:
            sockets.append(connect(source))
        except (OSError, ssl.SSLError):
            note("idle_tls_closed", 0.0)
    for sock in sockets:
        note("idle_tls_closed", closed_by_server(sock, END))
        sock.close()


def slow_head(source):
    # A request head that never ends, one byte a second.
    try:
        sock = connect(source)
        sock.sendall(b"GET /api/status HTTP/1.1\r\nHost: x\r\n")
        sock.settimeout(1)
        while time.monotonic() < END:
            sock.sendall(b"X")
            try:
                if not sock.recv(4096):
                    break
            except socket.timeout:
                pass
        note("slow_head_cut", time.monotonic() - START if time.monotonic() < END else None)
    except (OSError, ssl.SSLError):
        note("slow_head_cut", time.monotonic() - START)


def header_flood(source):
    head = "GET /api/status HTTP/1.1\r\nHost: x\r\n" + "".join("X-H%d: v\r\n" % i for i in range(40000)) + "\r\n"
    while time.monotonic() < END:
        try:
            sock = connect(source)
            try:
                sock.sendall(head.encode())
            except (OSError, ssl.SSLError):
                pass
            note("header_flood_status", status_of(sock))
            sock.close()
        except (OSError, ssl.SSLError):
            note("header_flood_status", 0)
        time.sleep(0.5)


def request(source, method, path, body=b"", headers=""):
    sock = connect(source, timeout=10)
    head = "%s %s HTTP/1.1\r\nHost: x\r\n%sContent-Length: %d\r\n\r\n" % (method, path, headers, len(body))
    try:
        sock.sendall(head.encode() + body)
    except (OSError, ssl.SSLError):
        pass
    status = status_of(sock)
    sock.close()
    return status


def announced_bodies(source):
    # Huge bodies announced without signing in, and one streamed in chunks.
    while time.monotonic() < END:
        try:
            note("huge_archive", huge_head(source, "PUT /api/aux/PHB", "Content-Length: 3000000000\r\n"))
            note("huge_get_body", huge_head(source, "GET /api/status", "Content-Length: 300000000\r\n"))
            note("chunked_unsigned", chunked_upload(source))
        except (OSError, ssl.SSLError):
            note("huge_archive", 0)
        time.sleep(0.2)


def huge_head(source, line, length):
    sock = connect(source, timeout=10)
    try:
        sock.sendall((line + " HTTP/1.1\r\nHost: x\r\n" + length + "\r\n").encode() + b"x" * 65536)
    except (OSError, ssl.SSLError):
        pass
    status = status_of(sock)
    sock.close()
    return status


def chunked_upload(source):
    sock = connect(source, timeout=10)
    sock.sendall(b"PUT /api/claims/1.kvz HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n")
    chunk = b"10000\r\n" + b"z" * 0x10000 + b"\r\n"
    sock.settimeout(0.05)
    status = 0
    for _ in range(200):
        try:
            sock.sendall(chunk)
        except (OSError, ssl.SSLError):
            break
        try:
            answer = sock.recv(4096)
            if answer.startswith(b"HTTP/"):
                status = int(answer.split(b" ")[1])
            break
        except (socket.timeout, ssl.SSLWantReadError):
            continue
        except (OSError, ssl.SSLError):
            break
    if status == 0:
        sock.settimeout(5)
        status = status_of(sock)
    sock.close()
    return status


def signed_in_abuse(source):
    # What a signed-in user of another company can send.
    while time.monotonic() < END:
        try:
            note("deep_json", request(source, "POST", "/api/claims/search", b"[" * 900000, AUTH))
            note("json_over_limit", request(source, "POST", "/api/claims/search", b"[" * (16 << 20), AUTH))
            query = json.dumps({"claim_num": "%_" * 2500}).encode()
            note("long_search", request(source, "POST", "/api/claims/search", query, AUTH))
        except (OSError, ssl.SSLError):
            note("deep_json", 0)
        time.sleep(0.2)


def guesses(source, name):
    while time.monotonic() < END:
        auth = "Authorization: Basic " + base64.b64encode(("%s:guess%f" % (name, time.monotonic())).encode()).decode()
        try:
            note("guess", request(source, "GET", "/api/status", headers=auth + "\r\n"))
        except (OSError, ssl.SSLError):
            note("guess", 0)


def refused_drip(source, line, length):
    # A request refused from its head (no credentials, or an unknown route) whose body then comes
    # at one byte every two seconds: the server must not wait for it.
    try:
        sock = connect(source, timeout=10)
        sock.sendall(("%s HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (line, length)).encode())
        sent = time.monotonic()
        sock.settimeout(0.2)
        while time.monotonic() < END:
            try:
                sock.sendall(b"x")
            except (OSError, ssl.SSLError):
                note("refused_drip_closed", time.monotonic() - sent)
                return
            until = time.monotonic() + 2
            while time.monotonic() < until:
                try:
                    if not sock.recv(4096):
                        note("refused_drip_closed", time.monotonic() - sent)
                        return
                except (socket.timeout, ssl.SSLWantReadError):
                    continue
                except (OSError, ssl.SSLError):
                    note("refused_drip_closed", time.monotonic() - sent)
                    return
        note("refused_drip_closed", None)
    except (OSError, ssl.SSLError):
        note("refused_drip_closed", 0.0)


def slow_body(source, line, length):
    # A signed-in request whose body comes at one byte a second, far below any useful rate.
    try:
        sock = connect(source, timeout=10)
        sock.sendall(("%s HTTP/1.1\r\nHost: x\r\n%sContent-Length: %d\r\n\r\n" % (line, AUTH, length)).encode())
        sent = time.monotonic()
        sock.settimeout(1)
        while time.monotonic() < END:
            try:
                sock.sendall(b" ")
                if not sock.recv(4096):
                    break
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except (OSError, ssl.SSLError):
                break
        note("slow_body_closed", time.monotonic() - sent if time.monotonic() < END else None)
    except (OSError, ssl.SSLError):
        note("slow_body_closed", 0.0)


# The start of a TLS client hello that never goes on.
PARTIAL_HELLO = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"


def crowd(source, count):
    # Connections that never complete a request, kept at `count`: an idle one, a TLS handshake
    # that stops half-way, and a request head that drips a byte a second, in turn.
    selector = selectors.DefaultSelector()
    dripping = set()
    opened = 0

    def open_one(kind):
        nonlocal opened
        try:
            raw = socket.create_connection((HOST, PORT), timeout=3, source_address=(source, 0))
            sock = raw
            if kind == 1:
                raw.sendall(PARTIAL_HELLO)
            elif kind == 2:
                sock = CONTEXT.wrap_socket(raw)
                sock.sendall(b"GET /api/status HTTP/1.1\r\nHost: x\r\n")
                dripping.add(sock)
            sock.setblocking(False)
            selector.register(sock, selectors.EVENT_READ, kind)
            opened += 1
        except (OSError, ssl.SSLError):
            note("crowd_refused", source)

    for i in range(count):
        if time.monotonic() >= END:
            break
        open_one(i % 3)
    last_drip = time.monotonic()
    while time.monotonic() < END:
        for key, _ in selector.select(timeout=0.2):
            sock = key.fileobj
            try:
                if sock.recv(4096):
                    continue
            except (BlockingIOError, ssl.SSLWantReadError):
                continue
            except (OSError, ssl.SSLError):
                pass
            selector.unregister(sock)
            dripping.discard(sock)
            sock.close()
            if time.monotonic() < END:
                open_one(key.data)
        if time.monotonic() - last_drip >= 1:
            last_drip = time.monotonic()
            for sock in list(dripping):
                try:
                    sock.send(b"X")
                except (OSError, ssl.SSLError):
                    pass
    note("crowd_opened", opened)
    for key in list(selector.get_map().values()):
        key.fileobj.close()


def budget(source, count):
    # One user opens searches of 1 MiB each and holds those the server takes in, their last byte
    # withheld; then sends the last bytes. Each asks to continue first, so that it knows at once
    # whether the server takes the body in (100) or refuses it.
    query = b'{"claim_num":"x"'
    body = query + b" " * ((1 << 20) - len(query) - 1) + b"}"
    held = []
    for _ in range(count):
        try:
            sock = connect(source, timeout=30)
            sock.sendall(("POST /api/claims/search HTTP/1.1\r\nHost: x\r\n%sContent-Length: %d\r\n"
                          "Expect: 100-continue\r\n\r\n" % (AUTH, len(body))).encode())
            answer = b""
            while b"\r\n\r\n" not in answer:
                piece = sock.recv(4096)
                if not piece:
                    break
                answer += piece
            status = int(answer.split(b" ")[1]) if answer.startswith(b"HTTP/") else 0
            if status != 100:
                note("budget_status", status)
                sock.close()
                continue
            sock.sendall(body[:-1])
            held.append(sock)
        except (OSError, ssl.SSLError):
            note("budget_status", 0)
    for sock in held:
        try:
            sock.sendall(body[-1:])
        except (OSError, ssl.SSLError):
            pass
    for sock in held:
        note("budget_status", status_of(sock))
        sock.close()


def searcher(source):
    query = os.environ.get("SEARCH", '{"claim_num":"x"}').encode()
    while time.monotonic() < END:
        try:
            note("search_status", request(source, "POST", "/api/claims/search", query, AUTH))
        except (OSError, ssl.SSLError):
            note("search_status", 0)


def wide_body(head):
    # {"a":[{},{},...]} of just under 1 MiB, after `head` ("{" or "{" and members).
    return (head + '"a":[{}' + ",{}" * ((1024 * 1024 - 16 - len(head)) // 3) + "]}").encode()


def new_claim(source):
    # A claim id of the signed-in user's company; None when the server gave none.
    sock = connect(source, timeout=30)
    sock.sendall(("POST /api/sequences/claims HTTP/1.1\r\nHost: x\r\n%sContent-Length: 0\r\nConnection: close\r\n\r\n"
                  % AUTH).encode())
    answer = b""
    while True:
        piece = sock.recv(4096)
        if not piece:
            break
        answer += piece
    sock.close()
    head, _, body = answer.partition(b"\r\n\r\n")
    return body.decode().strip() if head.startswith(b"HTTP/1.1 200") else None


def wide_json(source):
    # Bodies whose parse once took seconds of CPU each and hundreds of MB at a time.
    search = wide_body("{")
    document = wide_body('{"claim_version":1,')
    try:
        claim = new_claim(source)
    except (OSError, ssl.SSLError):
        claim = None
    note("wide_claim", claim)
    while time.monotonic() < END and claim:
        try:
            note("wide_search", request(source, "POST", "/api/claims/search", search, AUTH))
            note("wide_document", request(source, "PUT", "/api/claims/%s.json" % claim, document, AUTH))
        except (OSError, ssl.SSLError):
            note("wide_search", 0)


def nul_document(source):
    # A whole claim document, then a NUL byte and what a reader of the stored file would never expect.
    document = json.dumps({"claim_version": 1, "claimnumber": "C-NUL"}).encode()
    try:
        claim = new_claim(source)
    except (OSError, ssl.SSLError):
        claim = None
    note("nul_claim", claim)
    while time.monotonic() < END and claim:
        junk = document + b"\0" + os.urandom(64)
        try:
            note("nul_document", request(source, "PUT", "/api/claims/%s.json" % claim, junk, AUTH))
        except (OSError, ssl.SSLError):
            note("nul_document", 0)
        time.sleep(0.1)


def long_names(source):
    # Sign-ins under account names nobody has, each one new: every third over the 255-character
    # limit, the others just within it, so that each would take a place in the sign-in waits.
    tried = 0
    while time.monotonic() < END:
        length = 4000 if tried % 3 == 0 else 250
        name = ("N%d-" % tried + "n" * length)[:length] + "/someone"
        auth = "Authorization: Basic " + base64.b64encode((name + ":pw").encode()).decode() + "\r\n"
        try:
            note("long_name", request(source, "GET", "/api/status", headers=auth))
        except (OSError, ssl.SSLError):
            note("long_name", 0)
        tried += 1


def parallel_guesses(source, count):
    # Wrong passwords for one account, all at once from `count` connections: a guess in flight
    # counts, so the server checks no more of them than of guesses sent one by one. Reports the
    # statuses, how many were checked (401 without Retry-After), how many were told to wait, and
    # the seconds the burst took.
    connections = []
    for _ in range(count):
        try:
            connections.append(connect(source, timeout=60))
        except (OSError, ssl.SSLError):
            pass
    go = threading.Barrier(len(connections))
    answers = []

    def guess(i, sock):
        token = base64.b64encode(("ACME/bob:guess%d" % i).encode()).decode()
        line = "GET /api/status HTTP/1.1\r\nHost: x\r\nAuthorization: Basic %s\r\nConnection: close\r\n\r\n" % token
        go.wait()
        head = b""
        try:
            sock.sendall(line.encode())
            while b"\r\n\r\n" not in head:
                piece = sock.recv(4096)
                if not piece:
                    break
                head += piece
        except (OSError, ssl.SSLError):
            pass
        status = int(head.split(b" ")[1]) if head.startswith(b"HTTP/") else 0
        with lock:
            answers.append((status, b"\r\nretry-after:" in head.lower(), time.monotonic()))
        sock.close()

    start = time.monotonic()
    threads = [threading.Thread(target=guess, args=(i, sock)) for i, sock in enumerate(connections)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    note("parallel_guesses", {
        "statuses": [a[0] for a in answers],
        "checked": sum(1 for a in answers if a[0] == 401 and not a[1]),
        "waited": sum(1 for a in answers if a[0] == 401 and a[1]),
        "seconds": max([a[2] for a in answers] + [start]) - start,
    })


def default_attacks():
    attacks = [
        threading.Thread(target=idle_tcp, args=("127.0.0.2", 48)),
        threading.Thread(target=idle_tls, args=("127.0.0.3", 8)),
        threading.Thread(target=slow_head, args=("127.0.0.4",)),
        threading.Thread(target=slow_head, args=("127.0.0.4",)),
        threading.Thread(target=header_flood, args=("127.0.0.5",)),
        threading.Thread(target=announced_bodies, args=("127.0.0.6",)),
        threading.Thread(target=signed_in_abuse, args=("127.0.0.7",)),
    ]
    attacks += [threading.Thread(target=guesses, args=("127.0.0.8", name)) for name in ("ACME/ann", "NOBODY/x")]
    attacks += [threading.Thread(target=guesses, args=("127.0.0.9", "ACME/ann")) for _ in range(2)]
    # Refused from the head, their bodies dripping: no credentials (a small body and a large
    # one) and an unknown route.
    attacks += [
        threading.Thread(target=refused_drip, args=("127.0.0.10", line, length))
        for line, length in (("PUT /api/aux/PHB", 1000), ("PUT /api/aux/PHB", 100000000), ("PUT /api/nothing", 1000))
        for _ in range(8)
    ]
    return attacks


# Room for the crowd's sockets.
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))

attacks = default_attacks() if "default" in ATTACKS else []
if "crowd" in ATTACKS:
    attacks += [threading.Thread(target=crowd, args=("127.0.0.%d" % (20 + i // 4), 32)) for i in range(32)]
if "slow_body" in ATTACKS:
    attacks += [
        threading.Thread(target=slow_body, args=("127.0.0.13", "POST /api/claims/search", 100000)),
        threading.Thread(target=slow_body, args=("127.0.0.13", "PUT /api/aux/PHB", 10000000)),
    ]
if "budget" in ATTACKS:
    attacks.append(threading.Thread(target=budget, args=("127.0.0.14", 16)))
if "searchers" in ATTACKS:
    attacks += [threading.Thread(target=searcher, args=("127.0.0.15",)) for _ in range(32)]
if "wide_json" in ATTACKS:
    attacks.append(threading.Thread(target=wide_json, args=("127.0.0.16",)))
if "nul_document" in ATTACKS:
    attacks.append(threading.Thread(target=nul_document, args=("127.0.0.17",)))
if "long_names" in ATTACKS:
    attacks += [threading.Thread(target=long_names, args=("127.0.0.18",)) for _ in range(2)]
if "parallel_guesses" in ATTACKS:
    attacks.append(threading.Thread(target=parallel_guesses, args=("127.0.0.19", 50)))
for attack in attacks:
    attack.daemon = True
    attack.start()
for attack in attacks:
    attack.join(SECONDS + 30)
print(json.dumps(results))

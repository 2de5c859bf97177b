#!/usr/bin/env python3
"""A hostile client of warehouse-server, for loopback only: it holds connections idle, sends
request heads a byte at a time, floods headers, announces huge bodies, sends deep JSON and long
texts as a signed-in user, and guesses passwords, all for a fixed time. Each kind of attack comes
from a loopback address of its own, so that the per-address limit meets each of them.

    hostile_client.py HOST PORT SECONDS USER:PASSWORD

Prints one JSON object with what each attack saw."""

import base64
import json
import socket
import ssl
import sys
import threading
import time

HOST, PORT, SECONDS, SIGNED_IN = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
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
for attack in attacks:
    attack.daemon = True
    attack.start()
for attack in attacks:
    attack.join(SECONDS + 30)
print(json.dumps(results))

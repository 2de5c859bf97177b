#!/usr/bin/env python3
"""A small HTTPS server whose answers are scripted by the request path, for testing the client
side of the tool against real sockets: statuses with chosen reasons and bodies, echoes of what arrived, large
downloads, stalls and cut connections. Listens on 127.0.0.1 only and prints
"listening on https://127.0.0.1:PORT" when ready."""
import hashlib
import json
import os
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        digest = hashlib.sha256()
        left = length
        while left > 0:
            chunk = self.rfile.read(min(left, 65536))
            if not chunk:
                break
            digest.update(chunk)
            left -= len(chunk)
        return length - left, digest.hexdigest()

    def answer(self, status, body, reason=None, content_type="application/json"):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(status, reason)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def route(self):
        url = urlparse(self.path)
        query = parse_qs(url.query)
        parts = url.path.strip("/").split("/")
        received, digest = self.read_body()
        if parts[0] == "status":
            # /status/CODE?reason=...&body=...: the status line's reason phrase and the body.
            status = int(parts[1])
            body = query.get("body", ["body %d" % status])[0]
            self.answer(status, body, query.get("reason", [None])[0])
        elif parts[0] == "mini":
            # A warehouse in miniature for the run's refusals: BASE = /mini?status=...&list=...&seq=...&x=
            # and the request path lands in x. Each answer is 200 with the given body.
            request = query.get("x", [""])[0]
            if request.endswith("/api/status"):
                body = query.get("status", ['{"companyid":1,"regionid":2,"officeid":3,"departmentid":4,"id":5}'])[0]
            elif request.endswith("/api/claims/"):
                body = query.get("list", ["[]"])[0]
            elif request.endswith("/api/sequences/claims"):
                body = query.get("seq", ["1"])[0]
            elif request.endswith("/api/aux/"):
                body = query.get("aux", ["[]"])[0]
            elif "/api/aux/" in request and self.command == "PUT":
                body = query.get("auxput", ["Successfully stored"])[0]
            else:
                body = "Successfully stored"
            self.answer(200, body)
        elif parts[0] == "plain":
            # A warehouse that signs every user in and answers everything else with plain text;
            # BASE = /plain needs no query, so it survives where "=" cannot (warehouse.ini values).
            if url.path.endswith("/api/status"):
                self.answer(200, '{"companyid":1,"regionid":2,"officeid":3,"departmentid":4,"id":5}')
            else:
                self.answer(200, "No search here", content_type="text/plain")
        elif parts[0] == "auxlist":
            # A warehouse that signs every user in and lists auxiliary files: BASE = /auxlist/good
            # (kinds in mixed case, one twice, a date with a time, an unknown kind), /auxlist/bad
            # (no JSON list) or /auxlist/down (the list request fails).
            variant = parts[1] if len(parts) > 1 else "good"
            if url.path.endswith("/api/status"):
                self.answer(200, '{"companyid":1,"regionid":2,"officeid":3,"departmentid":4,"id":5}')
            elif url.path.endswith("/api/aux/") and variant == "good":
                self.answer(200, json.dumps([
                    {"type": "ACT", "date_modified": "2010-01-02"},
                    {"type": "PHB", "date_modified": "2011-03-04"},
                    {"type": "phb", "date_modified": "2012-05-06"},
                    {"type": "ACT", "date_modified": "2013-07-08T09:10:11"},
                    {"type": "XYZ", "date_modified": "2014-01-01"},
                ]))
            elif url.path.endswith("/api/aux/") and variant == "bad":
                self.answer(200, '{"type": "PHB"}')
            elif url.path.endswith("/api/aux/"):
                self.answer(503, json.dumps({"msg": "down for maintenance"}), "Service Unavailable")
            else:
                self.answer(404, json.dumps({"msg": "no such file"}))
        elif parts[0] == "echo":
            self.answer(200, json.dumps({
                "method": self.command,
                "path": url.path,
                "authorization": self.headers.get("Authorization"),
                "content_type": self.headers.get("Content-Type"),
                "content_length": self.headers.get("Content-Length"),
                "received": received,
                "sha256": digest,
            }))
        elif parts[0] == "big":
            size = int(query.get("bytes", ["1048576"])[0])
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            block = bytes(range(256)) * 256
            sent = 0
            while sent < size:
                piece = block[: min(len(block), size - sent)]
                self.wfile.write(piece)
                sent += len(piece)
        elif parts[0] == "stall":
            # Nothing at all comes back until the client gives up.
            time.sleep(float(query.get("seconds", ["30"])[0]))
            self.answer(200, "late")
        elif parts[0] == "trickle":
            # A slow answer that never pauses long: one byte every `every` seconds.
            count = int(query.get("count", ["6"])[0])
            every = float(query.get("every", ["0.5"])[0])
            self.send_response(200)
            self.send_header("Content-Length", str(count))
            self.end_headers()
            for _ in range(count):
                self.wfile.write(b"x")
                self.wfile.flush()
                time.sleep(every)
        elif parts[0] == "cut":
            # Promises more than it sends, then drops the connection.
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            self.wfile.write(b"partial!!!")
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(2)
        elif parts[0] == "cutclaim":
            # A warehouse whose claim archives break off after a ZIP signature: BASE = /cutclaim?x=
            # and the request path lands in x.
            request = query.get("x", [""])[0]
            if request.endswith(".json"):
                self.answer(200, '{"claim_version":3,"claimnumber":"CLM-77","policynumber":"POL-77"}')
            elif request.endswith(".kvz"):
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", "100000")
                self.end_headers()
                self.wfile.write(b"PK\x03\x04" + bytes(60))
                self.wfile.flush()
                self.close_connection = True
                self.connection.shutdown(2)
            else:
                self.answer(200, '{"companyid":1,"regionid":2,"officeid":3,"departmentid":4,"id":5}')
        else:
            self.answer(404, json.dumps({"msg": "no such script"}))

    do_GET = do_POST = do_PUT = do_DELETE = route


def main():
    workdir = tempfile.mkdtemp(prefix="scripted-https-")
    cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("listening on https://127.0.0.1:%d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""An RFC 3161 time-stamp authority for tests, on 127.0.0.1.

Answers each POSTed time-stamp query with `openssl ts -reply`, signed by the
TSA certificate and key in TSA_DIR (made by signing-fixtures.sh). Listens on
a port the system picks and writes it to STATE_DIR/port once it accepts
connections. With --fail-first N, the first N queries get HTTP 503 (a server
that is busy for a moment). Queries are counted in STATE_DIR/queries.
Usage: timestamp-server.py TSA_DIR STATE_DIR [--fail-first N]
"""
import http.server
import os
import subprocess
import sys
import tempfile

folder, state = sys.argv[1], sys.argv[2]
fail_first = int(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[3] == "--fail-first" else 0
queries = 0
MAX_QUERY = 64 * 1024  # a query is a digest and a few fields


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        global queries
        queries += 1
        with open(os.path.join(state, "queries"), "w") as count:
            count.write(f"{queries}\n")
        length = int(self.headers.get("Content-Length", "0"))
        if queries <= fail_first or not 0 < length <= MAX_QUERY:
            self.send_error(503 if queries <= fail_first else 400)
            return
        with tempfile.TemporaryDirectory() as work:
            query, reply = os.path.join(work, "query.tsq"), os.path.join(work, "reply.tsr")
            with open(query, "wb") as out:
                out.write(self.rfile.read(length))
            made = subprocess.run(
                ["openssl", "ts", "-reply", "-config", os.path.join(folder, "tsa.cnf"), "-queryfile", query,
                 "-signer", os.path.join(folder, "tsa.pem"), "-inkey", os.path.join(folder, "tsa.key"),
                 "-chain", os.path.join(folder, "ca.pem"), "-out", reply],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if made.returncode != 0:
                self.send_error(500)
                return
            with open(reply, "rb") as answer:
                body = answer.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(os.path.join(state, "port.new"), "w") as port:
    port.write(f"{server.server_address[1]}\n")
os.rename(os.path.join(state, "port.new"), os.path.join(state, "port"))
server.serve_forever()

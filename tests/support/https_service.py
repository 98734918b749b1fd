#!/usr/bin/env python3
"""The update service of the tests: HTTPS on loopback, four listeners.

One listener presents a certificate from the test CA that the prefix trusts,
one a certificate from a CA that nobody trusts, one a certificate from the
trusted CA for another host name, and one speaks plain HTTP (the target of
downgrade redirects). The ports file lists them in that order. Every request is recorded in the
log as "<request line>\t<user agent>". What a reply does is chosen by its path:

  /files/<name>          the file <name> under --root (404 when missing)
  /status/<code>/...     that status, with a short body (none for 204)
  /size/<n>/...          status 200 and a body of n bytes
  /cut/<n>/...           announces n + 4096 bytes, sends n, then resets the
                         connection (a clean close would read as a short body)
  /cutfile/<n>/<name>    the file <name>, reset after n of its bytes
  /redirect/<code>/<p>   that redirect status pointing at /<p>
  /delay/<ms>/<p>        waits, then answers as for /<p>
  /headersonly/<n>/...   announces n bytes, sends none, closes cleanly
  /tohttp/<code>/<p>     that redirect status pointing at http://localhost:<plain>/<p>
  /slowfile/<ms>/<name>  the file <name> in 64 KiB pieces, waiting between them
  /ranged/<opts>/<name>  the file <name> with a strong ETag (a digest of its
                         bytes), honouring Range with If-Range; <opts> is "-"
                         or a comma list of: cut=N (reset after N body bytes),
                         cuts=K (only the first K requests of this address are
                         cut), trickle=MS (one byte every MS ms), pace=MS (64
                         KiB every MS ms), after=N (trickle or pace only
                         after N bytes at full speed), norange (ignore Range), badrange (a
                         206 that starts elsewhere), weak (a weak ETag), noetag

Every /ranged/ reply also writes "<path>\t<status>\t<body bytes sent>\t<Range>"
to the byte log beside the request log.

The query of an address is never interpreted, so tests can check it arrives.
"""
import argparse
import hashlib
import http.server
import os
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

LOCK = threading.Lock()
# Requests seen per /ranged/ address, for cuts=K.
RANGED_SEEN = {}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."
    log_path = "requests.log"
    bytes_log_path = "requests.log.bytes"
    plain_port = 0

    def log_message(self, *args):
        pass

    def record(self):
        agent = self.headers.get("User-Agent", "")
        with LOCK, open(self.log_path, "a", encoding="utf-8", errors="replace") as log:
            log.write(f"{self.requestline}\t{agent}\n")

    def reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if status != 204:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if status != 204:
            self.wfile.write(body)

    def reset_after(self, total, chunks):
        self.send_response(200)
        self.send_header("Content-Length", str(total))
        self.end_headers()
        for chunk in chunks:
            self.wfile.write(chunk)
        self.wfile.flush()
        time.sleep(0.3)
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True
        self.connection.close()

    def ranged(self, opts, name):
        full = self.file_path(name)
        if full is None:
            return self.reply(404, b"not found")
        with open(full, "rb") as f:
            data = f.read()
        options = dict((o.split("=") + [""])[:2] for o in opts.split(",") if o and o != "-")
        with LOCK:
            seen = RANGED_SEEN[self.path] = RANGED_SEEN.get(self.path, 0) + 1
        tag = '"' + hashlib.sha256(data).hexdigest()[:20] + '"'
        if "weak" in options:
            tag = "W/" + tag
        asked = self.headers.get("Range", "")
        status, first = 200, 0
        if asked.startswith("bytes=") and asked.endswith("-") and "norange" not in options:
            if self.headers.get("If-Range") == tag and not tag.startswith("W/"):
                status, first = 206, int(asked[6:-1])
        if status == 206 and first >= len(data):
            status, first = 416, 0
        self.send_response(status)
        if "noetag" not in options:
            self.send_header("ETag", tag)
        self.send_header("Accept-Ranges", "bytes")
        body = data[first:] if status != 416 else b""
        if status == 206:
            start = first + 1 if "badrange" in options else first
            self.send_header("Content-Range", f"bytes {start}-{len(data) - 1}/{len(data)}")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        cut = int(options["cut"]) if "cut" in options else None
        # stop=N: N bytes, then silence on an open connection for 20 s.
        stop = int(options["stop"]) if "stop" in options else None
        if cut is not None and "cuts" in options and seen > int(options["cuts"]):
            cut = None
        piece, pause = 65536, 0.0
        if "trickle" in options:
            piece, pause = 1, int(options["trickle"]) / 1000.0
        elif "pace" in options:
            pause = int(options["pace"]) / 1000.0
        after = int(options.get("after") or 0)
        sent = 0
        try:
            while sent < len(body) and (cut is None or sent < cut):
                if sent < after:
                    end = min(len(body), after)
                    self.wfile.write(body[sent:end])
                    sent = end
                    continue
                end = min(len(body), sent + piece, cut if cut is not None else len(body))
                self.wfile.write(body[sent:end])
                self.wfile.flush()
                sent = end
                if pause:
                    time.sleep(pause)
                if stop is not None and sent >= stop:
                    time.sleep(20)
                    stop = None
        except OSError:  # the client went away (a launcher ended mid-download)
            self.close_connection = True
            return None
        finally:
            with LOCK, open(self.bytes_log_path, "a", encoding="utf-8") as log:
                log.write(f"{self.path}\t{status}\t{sent}\t{asked}\n")
        if cut is not None and sent < len(body):
            time.sleep(0.3)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
        return None

    def file_path(self, name):
        full = os.path.realpath(os.path.join(self.root, urllib.parse.unquote(name)))
        if not full.startswith(os.path.realpath(self.root) + os.sep) or not os.path.isfile(full):
            return None
        return full

    def do_GET(self):
        self.record()
        path = urllib.parse.urlsplit(self.path).path
        while path.startswith("/delay/"):
            _, _, ms, path = path.split("/", 3)
            time.sleep(min(int(ms), 60000) / 1000.0)
            path = "/" + path
        parts = path.lstrip("/").split("/", 2)
        kind = parts[0]
        arg = parts[1] if len(parts) > 1 else ""
        rest = parts[2] if len(parts) > 2 else ""
        try:
            if kind == "files":
                full = self.file_path("/".join(parts[1:]))
                if full is None:
                    return self.reply(404, b"not found")
                with open(full, "rb") as f:
                    return self.reply(200, f.read())
            if kind == "ranged":
                return self.ranged(arg, rest)
            if kind == "status":
                return self.reply(int(arg), b"status body")
            if kind == "size":
                return self.reply(200, b"x" * int(arg))
            if kind == "cut":
                n = int(arg)
                return self.reset_after(n + 4096, [b"x" * n])
            if kind == "cutfile":
                full = self.file_path(rest)
                if full is None:
                    return self.reply(404, b"not found")
                with open(full, "rb") as f:
                    data = f.read()
                return self.reset_after(len(data), [data[: int(arg)]])
            if kind == "redirect":
                return self.reply(int(arg), b"", [("Location", "/" + rest)])
            if kind == "tohttp":
                target = f"http://localhost:{Handler.plain_port}/{rest}"
                return self.reply(int(arg), b"", [("Location", target)])
            if kind == "headersonly":
                self.send_response(200)
                self.send_header("Content-Length", arg)
                self.end_headers()
                self.wfile.flush()
                self.close_connection = True
                return None
            if kind == "slowfile":
                full = self.file_path(rest)
                if full is None:
                    return self.reply(404, b"not found")
                with open(full, "rb") as f:
                    data = f.read()
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                for at in range(0, len(data), 65536):
                    self.wfile.write(data[at : at + 65536])
                    self.wfile.flush()
                    time.sleep(int(arg) / 1000.0)
                return None
        except (ValueError, BrokenPipeError, ConnectionResetError):
            pass
        return self.reply(400, b"bad test request")


def serve(cert, key, port_holder, index):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if cert is not None:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    port_holder[index] = server.server_address[1]
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--untrusted-cert", required=True)
    parser.add_argument("--untrusted-key", required=True)
    parser.add_argument("--wronghost-cert", required=True)
    parser.add_argument("--wronghost-key", required=True)
    parser.add_argument("--ports", required=True)
    parser.add_argument("--lifetime", type=float, default=5400.0)
    args = parser.parse_args()

    Handler.root = args.root
    Handler.log_path = args.log
    Handler.bytes_log_path = args.log + ".bytes"
    ports = [0, 0, 0, 0]
    serve(args.cert, args.key, ports, 0)
    serve(args.untrusted_cert, args.untrusted_key, ports, 1)
    serve(args.wronghost_cert, args.wronghost_key, ports, 2)
    serve(None, None, ports, 3)
    Handler.plain_port = ports[3]
    temporary = args.ports + ".tmp"
    with open(temporary, "w") as f:
        f.write(" ".join(str(p) for p in ports) + "\n")
    os.replace(temporary, args.ports)
    # Ends by itself should the run that started it be killed.
    time.sleep(args.lifetime)
    return 0


if __name__ == "__main__":
    sys.exit(main())

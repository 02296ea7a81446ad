#!/usr/bin/env python3
"""Development server for the web installer: content, statistics collector and
the web user id service, on 127.0.0.1 only.

    devserver.py --root <content dir> --state <state dir> [--port N] [--content-rate KIB]

--content-rate limits the content bodies to about KIB kibibytes per second
(per transfer), so that a run on loopback shows its progress.

Prints one line "devserver listening on http://127.0.0.1:<port>" once it
accepts connections; scripts and tests read the port from it. Every request is
logged on standard error. SIGTERM or SIGINT stops it.

Routes:
  GET/HEAD /content/<path>      files under the content dir (Range supported)
  POST     /stats[?...]         statistics packages (XML); 400 when not well-formed.
                                An event whose UNIQUE_ID was stored before is
                                dropped (a sender that timed out sends its package
                                again); a package of such events only is answered
                                200 and not stored. Collectors should do the same,
                                so that counts are right.
  GET      /api/v1/uid/generate             {"id": "<new id>"}
  GET      /api/v1/uid/used/<id>            {"exist": true|false}
  GET      /api/v1/uid/link/batch?main_id=A&link_id[]=B...   {"success": true|false}

State dir:
  packages/NNNNNN.xml   every accepted package, byte for byte
  events.log            one readable line per event
  events.jsonl          one JSON object per event: name, params (in order), query
  uids.json             the id store (kept across restarts)
  faults.json           optional, written by tests: scripted failures of content
                        downloads, read again on every GET, e.g.
                        {"/content/packages/a.tar.gz": {"status": 503, "times": 1}}
                        answers the first GET of that path with 503 (without
                        "times": every GET). HEAD requests are not affected, so
                        sizes stay known.
"""

import argparse
import http.server
import json
import os
import re
import secrets
import signal
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ElementTree

LOOPBACK = "127.0.0.1"
CONTENT_PREFIX = "/content/"
STATS_PATH = "/stats"
UID_PREFIX = "/api/v1/uid/"
CONFIG_TEMPLATE = "config.ini.in"
BASE_URL_PLACEHOLDER = "@BASE_URL@"

# A statistics package is a few kilobytes; anything far larger is refused
# rather than held in memory.
MAX_POST_BODY = 16 * 1024 * 1024
# Bytes handed to one sendfile call.
SENDFILE_CHUNK = 1024 * 1024


def log(text):
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


class Collector:
    """Stores statistics packages and their events. Safe from any thread."""

    def __init__(self, state_dir):
        self._lock = threading.Lock()
        self._packages_dir = os.path.join(state_dir, "packages")
        self._events_log = os.path.join(state_dir, "events.log")
        self._events_jsonl = os.path.join(state_dir, "events.jsonl")
        os.makedirs(self._packages_dir, exist_ok=True)
        # Numbering goes on after a restart, so earlier packages are kept.
        numbers = [int(m.group(1)) for m in
                   (re.fullmatch(r"(\d+)\.xml", name) for name in os.listdir(self._packages_dir))
                   if m]
        self._next = max(numbers, default=0) + 1
        # A sender whose request outlived its time limit sends the package
        # again although it was stored; the UNIQUE_ID of each event tells.
        self._seen = set()
        if os.path.exists(self._events_jsonl):
            with open(self._events_jsonl, encoding="utf-8") as jsonl:
                for line in jsonl:
                    self._seen.update(unique_ids(json.loads(line)["params"]))

    @staticmethod
    def parse(body):
        """Returns the events of a package as (name, [(param, value), ...]).
        Raises ElementTree.ParseError when the body is not well-formed."""
        root = ElementTree.fromstring(body)
        events = []
        for event in root.iter("event"):
            params = [(p.get("name", ""), p.get("value", "")) for p in event.iter("param")]
            events.append((event.get("name", ""), params))
        return events

    def store(self, body, events, query):
        """Stores the package and returns its path; None when every event of it
        was stored before (by UNIQUE_ID), which drops the package."""
        with self._lock:
            fresh = [(name, params) for name, params in events
                     if not self._seen.intersection(unique_ids(params))]
            if events and not fresh:
                return None
            events = fresh
            for _, params in events:
                self._seen.update(unique_ids(params))
            number = self._next
            self._next += 1
            path = os.path.join(self._packages_dir, "%06d.xml" % number)
            with open(path, "wb") as out:
                out.write(body)
            with open(self._events_log, "a", encoding="utf-8") as readable, \
                    open(self._events_jsonl, "a", encoding="utf-8") as jsonl:
                for name, params in events:
                    readable.write(" ".join([name] + ["%s=%s" % (k, readable_value(v))
                                                      for k, v in params]) + "\n")
                    jsonl.write(json.dumps({"name": name,
                                            "params": [[k, v] for k, v in params],
                                            "query": query}) + "\n")
        return path


def unique_ids(params):
    return {value for key, value in params if key == "UNIQUE_ID" and value}


def readable_value(value):
    # Quoted only where a bare value would run into the next parameter.
    if value == "" or re.search(r'[\s"]', value):
        return json.dumps(value)
    return value


class UidStore:
    """The web user id service's ids and links, kept in one JSON file that is
    replaced atomically on every change. Safe from any thread."""

    def __init__(self, path):
        self._lock = threading.Lock()
        self._path = path
        self._ids = []
        self._links = []
        if os.path.exists(path):
            with open(path, encoding="utf-8") as source:
                data = json.load(source)
            self._ids = list(data.get("ids", []))
            self._links = list(data.get("links", []))
        self._known = set(self._ids)

    def _save(self):
        temporary = self._path + ".tmp"
        with open(temporary, "w", encoding="utf-8") as out:
            json.dump({"ids": self._ids, "links": self._links}, out, indent=1)
            out.write("\n")
        os.replace(temporary, self._path)

    def generate(self):
        with self._lock:
            new_id = secrets.token_hex(16)
            while new_id in self._known:
                new_id = secrets.token_hex(16)
            self._ids.append(new_id)
            self._known.add(new_id)
            self._save()
            return new_id

    def exists(self, uid):
        with self._lock:
            return uid in self._known

    def link(self, main_id, link_ids):
        with self._lock:
            if main_id not in self._known:
                return False
            self._links.append({"main_id": main_id, "link_ids": list(link_ids)})
            self._save()
            return True


class Faults:
    """Scripted failures of content downloads (faults.json in the state dir).
    Safe from any thread."""

    def __init__(self, path):
        self._lock = threading.Lock()
        self._path = path
        self._used = {}

    def take(self, request_path):
        """The status to fail this GET with, or None to serve it."""
        with self._lock:
            try:
                with open(self._path, encoding="utf-8") as source:
                    rules = json.load(source)
            except FileNotFoundError:
                return None
            except (OSError, ValueError) as error:
                log("faults file %s ignored: %s" % (self._path, error))
                return None
            rule = rules.get(request_path) if isinstance(rules, dict) else None
            if not isinstance(rule, dict):
                return None
            used = self._used.get(request_path, 0)
            times = rule.get("times")
            if times is not None and used >= times:
                return None
            self._used[request_path] = used + 1
            return int(rule.get("status", 503))


class Handler(http.server.BaseHTTPRequestHandler):
    # HTTP/1.1 for keep-alive and "Expect: 100-continue"; every reply below
    # therefore carries a Content-Length.
    protocol_version = "HTTP/1.1"
    server_version = "ZentakDevServer/1.0"

    def log_message(self, format, *args):  # noqa: A002 (the base class's name)
        log("%s - %s" % (self.address_string(), format % args))

    # Replies -------------------------------------------------------------

    def reply(self, status, body=b"", content_type="text/plain; charset=utf-8", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def reply_text(self, status, text):
        self.reply(status, (text + "\n").encode("utf-8"))

    def reply_json(self, value):
        self.reply(200, json.dumps(value).encode("utf-8"), "application/json")

    def not_found(self):
        self.reply_text(404, "not found: " + self.path)

    # Routing -------------------------------------------------------------

    def split_target(self):
        target = urllib.parse.urlsplit(self.path)
        return target.path, target.query

    def do_GET(self):
        path, query = self.split_target()
        if path.startswith(CONTENT_PREFIX):
            status = self.server.faults.take(path)
            if status is not None:
                log("scripted failure %d for %s" % (status, path))
                self.reply_text(status, "scripted failure: " + path)
                return
            self.serve_content(path[len(CONTENT_PREFIX):])
        elif path.startswith(UID_PREFIX):
            self.serve_uid(path[len(UID_PREFIX):], query)
        else:
            self.not_found()

    def do_HEAD(self):
        path, _ = self.split_target()
        if path.startswith(CONTENT_PREFIX):
            self.serve_content(path[len(CONTENT_PREFIX):])
        else:
            self.not_found()

    def do_POST(self):
        path, query = self.split_target()
        body = self.read_body()
        if body is None:
            return
        if path == STATS_PATH:
            self.collect(body, query)
        else:
            self.not_found()

    # Content -------------------------------------------------------------

    def resolve_content(self, relative):
        root = self.server.content_root
        relative = urllib.parse.unquote(relative)
        if "\0" in relative:
            return None
        candidate = os.path.realpath(os.path.join(root, relative))
        if os.path.commonpath([root, candidate]) != root or not os.path.isfile(candidate):
            return None
        return candidate

    def serve_content(self, relative):
        path = self.resolve_content(relative)
        if path is None:
            self.not_found()
            return
        with open(path, "rb") as source:
            size = os.fstat(source.fileno()).st_size
            first, count, status = 0, size, 200
            headers = [("Accept-Ranges", "bytes")]
            requested = parse_range(self.headers.get("Range"), size)
            if requested == "unsatisfiable":
                self.reply(416, b"", headers=headers + [("Content-Range", "bytes */%d" % size)])
                return
            if requested is not None:
                first, last = requested
                count, status = last - first + 1, 206
                headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, size)))
            self.send_response(status)
            self.send_header("Content-Type", content_type_of(path))
            self.send_header("Content-Length", str(count))
            for name, value in headers:
                self.send_header(name, value)
            self.end_headers()
            if self.command == "HEAD":
                return
            self.wfile.flush()
            send_file(self.connection, source, first, count, self.server.content_rate)

    # Statistics ----------------------------------------------------------

    def read_body(self):
        """The request body, or None when a reply was already sent."""
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            return self.read_chunked_body()
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        try:
            length = int(length)
        except ValueError:
            length = -1
        if length < 0:
            self.close_connection = True
            self.reply_text(400, "bad Content-Length")
            return None
        if length > MAX_POST_BODY:
            self.close_connection = True
            self.reply_text(413, "body too large")
            return None
        return self.rfile.read(length)

    def read_chunked_body(self):
        body = bytearray()
        while True:
            line = self.rfile.readline(1024).strip()
            try:
                size = int(line.split(b";")[0], 16)
            except ValueError:
                self.close_connection = True
                self.reply_text(400, "bad chunk")
                return None
            if size == 0:
                # Trailers end with an empty line.
                while self.rfile.readline(1024).strip():
                    pass
                return bytes(body)
            if len(body) + size > MAX_POST_BODY:
                self.close_connection = True
                self.reply_text(413, "body too large")
                return None
            body += self.rfile.read(size)
            self.rfile.readline(1024)

    def collect(self, body, query):
        try:
            events = Collector.parse(body)
        except ElementTree.ParseError as error:
            log("statistics package refused: %s" % error)
            self.reply_text(400, "not well-formed XML: %s" % error)
            return
        path = self.server.collector.store(
            body, events, dict(urllib.parse.parse_qsl(query, keep_blank_values=True)))
        if path is None:
            # Answered like a stored one, so the sender stops sending it.
            log("statistics package dropped, its events are stored already: %s"
                % ", ".join(n for n, _ in events))
            self.reply_text(200, "statistics package accepted before")
            return
        log("statistics package stored in %s: %s" % (path, ", ".join(n for n, _ in events)))
        self.reply_text(200, "statistics package accepted")

    # Web user id service -------------------------------------------------

    def serve_uid(self, operation, query):
        store = self.server.uids
        if operation == "generate":
            self.reply_json({"id": store.generate()})
        elif operation.startswith("used/"):
            uid = urllib.parse.unquote(operation[len("used/"):])
            self.reply_json({"exist": bool(uid) and store.exists(uid)})
        elif operation == "link/batch":
            pairs = urllib.parse.parse_qsl(query, keep_blank_values=True)
            main_ids = [value for key, value in pairs if key == "main_id"]
            link_ids = [value for key, value in pairs if key == "link_id[]"]
            success = len(main_ids) == 1 and store.link(main_ids[0], link_ids)
            self.reply_json({"success": success})
        else:
            self.not_found()


def parse_range(header, size):
    """(first, last) for a single satisfiable byte range, "unsatisfiable", or
    None when the whole file is to be sent (no header, or one we do not
    handle, such as several ranges)."""
    if not header:
        return None
    match = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", header)
    if not match or (match.group(1) == "" and match.group(2) == ""):
        return None
    first_text, last_text = match.groups()
    if first_text == "":
        suffix = int(last_text)
        if suffix == 0 or size == 0:
            return "unsatisfiable"
        return max(0, size - suffix), size - 1
    first = int(first_text)
    last = size - 1 if last_text == "" else min(int(last_text), size - 1)
    if last_text != "" and int(last_text) < first:
        return None  # syntactically invalid: ignored
    if first >= size:
        return "unsatisfiable"
    return first, last


def content_type_of(path):
    types = {".ini": "text/plain; charset=utf-8", ".png": "image/png", ".jpg": "image/jpeg",
             ".gz": "application/gzip", ".tgz": "application/gzip", ".xml": "text/xml"}
    return types.get(os.path.splitext(path)[1].lower(), "application/octet-stream")


def send_file(connection, source, offset, count, rate=0):
    """Sends count bytes of source from offset; with a rate (bytes per
    second), in tenth-of-a-second portions."""
    out = connection.fileno()
    step = max(1, rate // 10) if rate else SENDFILE_CHUNK
    while count > 0:
        started = time.monotonic()
        sent = os.sendfile(out, source.fileno(), offset, min(count, step))
        if sent == 0:
            break  # the file shrank under us; the client sees a short body
        offset += sent
        count -= sent
        if rate and count > 0:
            time.sleep(max(0.0, sent / rate - (time.monotonic() - started)))


class DevServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port, content_root, state_dir, content_rate=0):
        super().__init__((LOOPBACK, port), Handler)
        self.content_root = content_root
        self.content_rate = content_rate
        self.collector = Collector(state_dir)
        self.uids = UidStore(os.path.join(state_dir, "uids.json"))
        self.faults = Faults(os.path.join(state_dir, "faults.json"))

    @property
    def base_url(self):
        return "http://%s:%d" % (LOOPBACK, self.server_address[1])


def write_config(content_root, base_url):
    template = os.path.join(content_root, CONFIG_TEMPLATE)
    if not os.path.isfile(template):
        return
    with open(template, encoding="utf-8") as source:
        text = source.read()
    target = os.path.join(content_root, "config.ini")
    with open(target + ".tmp", "w", encoding="utf-8") as out:
        out.write(text.replace(BASE_URL_PLACEHOLDER, base_url))
    os.replace(target + ".tmp", target)
    log("wrote %s for %s" % (target, base_url))


def main():
    parser = argparse.ArgumentParser(description="Development server for the web installer")
    parser.add_argument("--root", required=True, help="content folder, served under /content/")
    parser.add_argument("--state", required=True, help="folder for statistics and the id store")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--content-rate", type=int, default=0, metavar="KIB",
                        help="limit content bodies to about KIB KiB/s per transfer (0: no limit)")
    options = parser.parse_args()

    content_root = os.path.realpath(options.root)
    if not os.path.isdir(content_root):
        parser.error("content folder %s does not exist" % options.root)
    os.makedirs(options.state, exist_ok=True)

    if options.content_rate < 0:
        parser.error("--content-rate must not be negative")
    server = DevServer(options.port, content_root, os.path.realpath(options.state),
                       options.content_rate * 1024)
    write_config(content_root, server.base_url)

    # The server loop runs on its own thread so that the signal handler, which
    # runs on the main thread, can wait for it to stop.
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    loop = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2})
    loop.start()
    print("devserver listening on %s" % server.base_url, flush=True)
    while not stop.wait(1.0):
        pass
    log("devserver stopping")
    server.shutdown()
    loop.join()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

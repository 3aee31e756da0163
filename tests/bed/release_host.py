#!/usr/bin/env python3
"""Local release host for the test bed.

Serves the files of one document root on loopback, over plain HTTP, over HTTPS with a
certificate from the bed's CA, and over HTTPS with a self-signed certificate nobody trusts.
Paths under /_fault/<fault>/ serve the same files with one fault injected, so that the setup
program's download code can be driven through every way a real server misbehaves:

    status=NNN      answer NNN with a short body
    nolength        no Content-Length; the connection closes after the body
    short=N         the full Content-Length, N bytes of body, then a graceful close
    drop=N          the full Content-Length, N bytes of body, then a connection reset
    dropfirst=N     like drop=N for the first request of this URL, normal afterwards
    trickle=MS      1 KiB of body every MS milliseconds
    stall           headers, then nothing until the client gives up (or 120 s pass)
    length=TEXT     Content-Length header TEXT verbatim (after percent-decoding)
    longer=N        Content-Length N bytes smaller than the body; the whole body is sent
    hold=MS         no Content-Length; the whole body, then the connection stays open MS
                    milliseconds before it closes (the client waits for the end of the stream)
    holduntil=NAME  like hold, but the connection stays open until the file NAME exists under
                    the document root (or 120 s pass): a test decides when the stream ends
    redirect=PATH   302 to /PATH on the same scheme, host and port; PATH may carry
                    percent-encoded slashes, and whatever follows the fault segment is
                    appended, so /_fault/redirect=dist/latest.json redirects to
                    /dist/latest.json; a PATH with "://" is used as a whole URL
    loop            302 to this very URL, on every request: a redirect loop that only the
                    client can end
    gzip            the body gzip-compressed with "Content-Encoding: gzip" and the compressed
                    length, although the client never offered to accept an encoding
    lengths=A,B     one Content-Length header per comma-separated item, verbatim, in that order
                    (duplicate or conflicting lengths); the whole body is sent
    pace=MS         256 KiB of body every MS milliseconds: a transfer of a known, steady pace

Every file is served with an ETag (strong, from its size and time), a Last-Modified date and
"Accept-Ranges: bytes", and a "Range: bytes=N-" or "bytes=N-M" request is answered 206 with its
Content-Range, unless an If-Range names another validator (then 200 and the whole file). After each
such response, sent.log beside the request log gets the line "<path> <bytes of body sent>". These faults change
that answer and can be joined with "+" (/_fault/cut=300000,600000+norange/...):
    cut=A,B,C       the Nth request of this URL is reset after the Nth number of body bytes
                    (an empty item: that request is not cut); later requests are not cut
    norange         ranges ignored: always 200 and the whole file
    wrongrange      a ranged request is answered 206 with the whole file and a Content-Range
                    that starts at 0
    novalidator     neither ETag nor Last-Modified
    weaketag        a weak ETag (W/"...") and no Last-Modified
    changed         the ETag differs on every request, as if the file were replaced each time
    busy=S          the first request of this URL is answered 503 with "Retry-After: S"

Extra HTTPS listeners (--extra-https PORT:CERT:KEY, repeatable) serve the same files with other
certificates: the bed uses them for an expired certificate and for one issued to another host
name. With --header-log every request is written there as one line: the method and the path,
then each header as "Name: value", separated by tabs.
    chunked         Transfer-Encoding: chunked, the whole body, then the last (empty) chunk
    chunkcut=N      Transfer-Encoding: chunked, N bytes of body, then a connection reset
                    before the last chunk: a stream that breaks where no length could tell
                    (WinHTTP takes a graceful close there for the end of the body)

Standard library only. The process never outlives its watcher: it ends after --max-lifetime
seconds, and as soon as the process named by --parent-pid is gone.
"""

import argparse
import errno
import fcntl
import gzip
import http.server
import os
import select
import socket
import ssl
import struct
import sys
import termios
import threading
import time
import urllib.parse

CHUNK = 1 << 20           # body chunk for TLS and for fault modes that send whole bodies
TRICKLE_CHUNK = 1024
PACE_CHUNK = 256 * 1024   # the client's own read size, so that each burst ends one read
CHUNKED_CHUNK = 16384     # data per chunk of a chunked body: several chunks even for small files
STALL_LIMIT = 120.0       # seconds a stalled response waits for the client to give up
TRICKLE_LIMIT = 900.0     # a trickled body is abandoned after this long
IDLE_TIMEOUT = 30.0       # keep-alive connections idle longer than this are closed
SEND_TIMEOUT = 120.0      # a client that stops reading for this long is dropped
DRAIN_LIMIT = 2.0         # how long a reset waits for the client to take in what was sent


def client_unread(sock):
    """Bytes the loopback client has received on this connection but not yet read; 0 when its
    end of the connection cannot be found (not on loopback, already closed)."""
    try:
        server_ip, server_port = sock.getsockname()[:2]
        client_ip, client_port = sock.getpeername()[:2]
        with open("/proc/net/tcp") as table:
            lines = table.readlines()[1:]
    except (OSError, ValueError):
        return 0

    def entry(ip, port):
        packed = socket.inet_aton(ip)
        return "%08X:%04X" % (struct.unpack("<I", packed)[0], port)

    local, remote = entry(client_ip, client_port), entry(server_ip, server_port)
    for line in lines:
        fields = line.split()
        if len(fields) > 4 and fields[1] == local and fields[2] == remote:
            return int(fields[4].split(":")[1], 16)
    return 0


class FaultError(ValueError):
    """A /_fault/ URL that names no fault we know."""


def parse_fault(segment):
    """Splits 'name=value' (percent-decoded) into (name, value); value None when absent."""
    name, sep, value = segment.partition("=")
    name = urllib.parse.unquote(name)
    value = urllib.parse.unquote(value) if sep else None
    if name == "gzip":
        if value is not None:
            raise FaultError(segment)
        return name, None
    if name == "pace":
        if value is None or not value.isdigit():
            raise FaultError(segment)
        return name, int(value)
    if name == "lengths":
        items = value.split(",") if value else []
        if not items or any(not item or any(c in item for c in "\r\n\0") for item in items):
            raise FaultError(segment)
        return name, items
    if name in ("nolength", "stall", "loop", "chunked"):
        if value is not None:
            raise FaultError(segment)
        return name, None
    if name in ("status", "short", "drop", "dropfirst", "trickle", "longer", "hold", "chunkcut"):
        if value is None or not value.isdigit():
            raise FaultError(segment)
        number = int(value)
        if name == "status" and not 100 <= number <= 999:
            raise FaultError(segment)
        return name, number
    if name == "holduntil":
        if not value or value.startswith("/") or ".." in value.split("/") or any(c in value for c in "\r\n\0\\"):
            raise FaultError(segment)
        return name, value
    if name in ("length", "redirect"):
        # Both end up in a header line: a line break would let a URL forge headers.
        if value is None or any(c in value for c in "\r\n\0"):
            raise FaultError(segment)
        return name, value
    raise FaultError(segment)


RANGED_FAULTS = ("cut", "norange", "wrongrange", "novalidator", "weaketag", "changed", "busy")


def parse_ranged_faults(segment):
    """The '+'-joined faults of a ranged answer as a dict; None when segment holds another fault."""
    faults = {}
    for item in segment.split("+"):
        name, sep, value = item.partition("=")
        name = urllib.parse.unquote(name)
        value = urllib.parse.unquote(value)
        if name not in RANGED_FAULTS:
            return None
        if name == "cut":
            if not sep or any(part and not part.isdigit() for part in value.split(",")):
                raise FaultError(segment)
            faults[name] = [int(part) if part else None for part in value.split(",")]
        elif name == "busy":
            if not value.isdigit():
                raise FaultError(segment)
            faults[name] = int(value)
        elif sep:
            raise FaultError(segment)
        else:
            faults[name] = True
    return faults


def parse_range(header, size):
    """(start, end inclusive) of a single "bytes=N-" or "bytes=N-M" range; None when the header
    is absent or not of that form; "unsatisfiable" when it starts at or past the end."""
    if not header or not header.startswith("bytes="):
        return None
    first, sep, last = header[len("bytes="):].strip().partition("-")
    if not sep or not first.isdigit() or (last and not last.isdigit()):
        return None
    start = int(first)
    end = min(int(last), size - 1) if last else size - 1
    if start >= size:
        return "unsatisfiable"
    if end < start:
        return None
    return start, end


class ReleaseHost(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, root, scheme, ssl_context, log, header_log=None, sent_log=None):
        self.root = root
        self.scheme = scheme
        self.ssl_context = ssl_context
        self.log = log
        self.header_log = header_log
        self.sent_log = sent_log
        self.header_lock = threading.Lock()
        self.dropped_once = set()
        self.dropped_lock = threading.Lock()
        self.request_counts = {}
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, in the connection's own thread, so one slow client cannot
        # hold up the accept loop.
        if self.ssl_context is not None:
            request.settimeout(IDLE_TIMEOUT)
            try:
                request = self.ssl_context.wrap_socket(request, server_side=True)
            except (OSError, ssl.SSLError) as error:
                self.note("handshake from %s failed: %s" % (client_address[0], error))
                request.close()
                return
        try:
            super().finish_request(request, client_address)
        finally:
            if request is not None:
                try:
                    request.close()
                except OSError:
                    pass

    def handle_error(self, request, client_address):
        self.note("error serving %s: %s" % (client_address[0], sys.exc_info()[1]))

    def first_request_of(self, key):
        """True exactly once per key: for dropfirst."""
        with self.dropped_lock:
            if key in self.dropped_once:
                return False
            self.dropped_once.add(key)
            return True

    def count_request(self, key):
        """How many requests of key this one is, from 1."""
        with self.dropped_lock:
            self.request_counts[key] = self.request_counts.get(key, 0) + 1
            return self.request_counts[key]

    def note_request(self, handler):
        """One line of the header log: method, path, then every header as sent."""
        if self.header_log is None:
            return
        fields = [handler.command + " " + handler.path]
        fields += ["%s: %s" % (name, value) for name, value in handler.headers.items()]
        line = "\t".join(field.replace("\t", " ") for field in fields)
        with self.header_lock:
            self.header_log.write(line + "\n")
            self.header_log.flush()

    def note_sent(self, path, count):
        if self.sent_log is not None:
            with self.header_lock:
                self.sent_log.write("%s %d\n" % (path, count))
                self.sent_log.flush()

    def note(self, text):
        if self.log is not None:
            self.log.write("%s %s %s\n" % (time.strftime("%H:%M:%S"), self.scheme, text))
            self.log.flush()


class ClientGone(Exception):
    """The client closed or reset the connection, or stopped reading."""


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TavrinTestHost/1.0"
    sys_version = ""
    timeout = IDLE_TIMEOUT

    def log_message(self, format, *args):
        self.server.note("%s %s" % (self.client_address[0], format % args))

    def do_HEAD(self):
        self.serve(head=True)

    def do_GET(self):
        self.serve(head=False)

    # --- routing ---------------------------------------------------------------------------

    def serve(self, head):
        self.head = head
        self.server.note_request(self)
        path = urllib.parse.urlsplit(self.path).path
        fault = None
        ranged = {}
        if path.startswith("/_fault/"):
            segment, _, rest = path[len("/_fault/"):].partition("/")
            try:
                ranged = parse_ranged_faults(segment)
                if ranged is None:
                    fault = parse_fault(segment)
            except FaultError:
                return self.send_text(400, "unknown fault")
            path = "/" + rest
            name = fault[0] if fault else None
            if name == "status":
                return self.send_text(fault[1], "status %d" % fault[1])
            if name == "redirect":
                return self.redirect(fault[1], rest)
            if name == "loop":
                return self.redirect(self.path, "")
        file_path = self.resolve(path)
        if file_path is None:
            return self.send_text(404, "not found")
        try:
            body = open(file_path, "rb")
        except OSError:
            return self.send_text(404, "not found")
        with body:
            size = os.fstat(body.fileno()).st_size
            if fault is None:
                self.send_ranged(body, size, ranged or {})
            else:
                self.send_faulty(fault, body, size)

    def resolve(self, url_path):
        """The file under the root that url_path names, or None (missing, a folder, outside)."""
        parts = [urllib.parse.unquote(p) for p in url_path.split("/") if p]
        if not parts or any(p in (".", "..") or "/" in p or "\\" in p or "\0" in p for p in parts):
            return None
        candidate = os.path.realpath(os.path.join(self.server.root, *parts))
        if os.path.commonpath([candidate, self.server.root]) != self.server.root:
            return None
        return candidate if os.path.isfile(candidate) else None

    # --- plain answers ---------------------------------------------------------------------

    def send_text(self, status, text):
        body = ("%s\n" % text).encode()
        if status < 200 or status in (204, 304):
            body = b""
        self.close_connection = True
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        if status >= 200 and status not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if not self.head and body:
            self.wfile.write(body)

    def redirect(self, target, rest):
        if rest:
            target = target.rstrip("/") + "/" + rest
        if "://" not in target:
            host = self.headers.get("Host") or "127.0.0.1:%d" % self.server.server_address[1]
            target = "%s://%s/%s" % (self.server.scheme, host, target.lstrip("/"))
        self.close_connection = True
        self.send_response(302)
        self.send_header("Location", target)
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()

    def start_body(self, status, length_header, close):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if length_header is not None:
            self.send_header("Content-Length", length_header)
        if close:
            self.close_connection = True
            self.send_header("Connection", "close")
        self.end_headers()

    def send_ranged(self, body, size, faults):
        """The file, or the part a Range asks for, with its validators; faults as parsed by
        parse_ranged_faults."""
        number = self.server.count_request(self.path)
        if "busy" in faults and number == 1:
            self.close_connection = True
            self.send_response(503)
            self.send_header("Retry-After", str(faults["busy"]))
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            return
        stat = os.fstat(body.fileno())
        etag = '"%x-%x"' % (size, stat.st_mtime_ns)
        if "changed" in faults:
            etag = '"%x-%x-%d"' % (size, stat.st_mtime_ns, number)
        if "weaketag" in faults:
            etag = "W/" + etag
        modified = self.date_time_string(int(stat.st_mtime))
        if "novalidator" in faults:
            validators = []
        elif "weaketag" in faults:
            validators = [("ETag", etag)]
        else:
            validators = [("ETag", etag), ("Last-Modified", modified)]
        wanted = None if "norange" in faults else parse_range(self.headers.get("Range"), size)
        condition = self.headers.get("If-Range")
        if wanted is not None and condition is not None and condition not in (etag, modified):
            wanted = None
        if condition is not None and condition.startswith("W/"):
            wanted = None  # a weak validator never makes a range valid
        if wanted == "unsatisfiable":
            self.close_connection = True
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        start, end = wanted if wanted else (0, size - 1)
        count = end - start + 1 if size else 0
        if wanted and "wrongrange" in faults:
            start, count = 0, size
            self.send_response(206)
            self.send_header("Content-Range", "bytes 0-%d/%d" % (size - 1, size))
        elif wanted:
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        else:
            self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(count))
        self.send_header("Accept-Ranges", "none" if "norange" in faults else "bytes")
        for name, value in validators:
            self.send_header(name, value)
        cuts = faults.get("cut", [])
        cut = cuts[number - 1] if number <= len(cuts) else None
        if cut is not None and cut >= count:
            cut = None  # nothing of the body would be left to cut off
        if cut is not None:
            self.close_connection = True
            self.send_header("Connection", "close")
        self.end_headers()
        if self.head:
            return
        body.seek(start)
        sent = min(cut, count) if cut is not None else count
        try:
            self.send_bytes(body, sent)
            if cut is not None:
                self.reset_connection()
        except ClientGone:
            self.close_connection = True
        self.server.note_sent(self.path, sent)

    # --- body transfer ---------------------------------------------------------------------

    def send_bytes(self, body, count, chunk=CHUNK, pause=0.0, deadline=None):
        """Sends count bytes of body from its current position. Raises ClientGone."""
        sock = self.connection
        sock.settimeout(SEND_TIMEOUT)
        if self.server.ssl_context is None and pause == 0.0:
            offset = body.tell()
            try:
                sent = sock.sendfile(body, offset, count)
            except OSError as error:
                raise ClientGone() from error
            if sent != count:
                raise ClientGone()
            # sendfile has moved the position already; set it explicitly all the same.
            body.seek(offset + count)
            return
        remaining = count
        while remaining > 0:
            if deadline is not None and time.monotonic() > deadline:
                raise ClientGone()
            data = body.read(min(chunk, remaining))
            if not data:
                raise ClientGone()  # the file shrank under us; end the response short
            try:
                sock.sendall(data)
            except OSError as error:
                raise ClientGone() from error
            remaining -= len(data)
            if pause and remaining > 0:
                if self.client_closed(pause):
                    raise ClientGone()

    def send_all(self, data):
        """Sends bytes held in memory. Raises ClientGone."""
        self.connection.settimeout(SEND_TIMEOUT)
        try:
            self.connection.sendall(data)
        except OSError as error:
            raise ClientGone() from error

    def send_paced(self, body, size, period):
        """Sends the body in PACE_CHUNK bursts, one every period seconds from the first, so that
        a slow moment does not shift every later burst. Raises ClientGone."""
        start = time.monotonic()
        sent = 0
        burst = 0
        while sent < size:
            count = min(PACE_CHUNK, size - sent)
            self.send_bytes(body, count)
            sent += count
            burst += 1
            if sent < size:
                wait = start + burst * period - time.monotonic()
                if wait > 0 and self.client_closed(wait):
                    raise ClientGone()

    def send_chunks(self, body, count, last):
        """Sends count bytes of body as chunks, then the last (empty) chunk only when last.
        Raises ClientGone."""
        sock = self.connection
        sock.settimeout(SEND_TIMEOUT)
        remaining = count
        while remaining > 0:
            data = body.read(min(CHUNKED_CHUNK, remaining))
            if not data:
                raise ClientGone()
            try:
                sock.sendall(b"%x\r\n" % len(data) + data + b"\r\n")
            except OSError as error:
                raise ClientGone() from error
            remaining -= len(data)
        if last:
            try:
                sock.sendall(b"0\r\n\r\n")
            except OSError as error:
                raise ClientGone() from error

    def client_closed(self, wait):
        """Waits up to wait seconds; True when the client closed or reset the connection."""
        sock = self.connection
        if isinstance(sock, ssl.SSLSocket) and sock.pending():
            return False
        try:
            readable, _, _ = select.select([sock], [], [], wait)
        except (OSError, ValueError):
            return True
        if not readable:
            return False
        try:
            sock.setblocking(False)
            try:
                data = sock.recv(4096)
            finally:
                sock.setblocking(True)
                sock.settimeout(SEND_TIMEOUT)
        except (ssl.SSLWantReadError, BlockingIOError):
            return False
        except OSError:
            return True
        return not data

    def reset_connection(self):
        """Aborts the connection with a TCP reset once what was sent has reached the client."""
        sock = self.connection
        deadline = time.monotonic() + DRAIN_LIMIT
        while time.monotonic() < deadline:
            try:
                unsent = struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]
            except OSError:
                break
            if unsent == 0:
                break
            time.sleep(0.01)
        # A reset discards whatever the client has received but not yet read, headers included,
        # so the client would sometimes see no response at all. On loopback its end of the
        # connection is visible here: wait until its receive queue is empty.
        while time.monotonic() < deadline and client_unread(sock) > 0:
            time.sleep(0.01)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.close_now()

    def close_now(self):
        self.close_connection = True
        try:
            self.connection.close()
        except OSError:
            pass

    # --- faults ----------------------------------------------------------------------------

    def send_faulty(self, fault, body, size):
        name, value = fault
        head = self.head
        try:
            if name == "nolength":
                self.start_body(200, None, close=True)
                if not head:
                    self.send_bytes(body, size)
            elif name == "short":
                self.start_body(200, str(size), close=True)
                if not head:
                    self.send_bytes(body, min(value, size))
                    self.connection.shutdown(socket.SHUT_WR)
            elif name in ("drop", "dropfirst"):
                drop = name == "drop" or self.server.first_request_of(self.path)
                self.start_body(200, str(size), close=True)
                if head:
                    return
                if not drop:
                    self.send_bytes(body, size)
                    return
                self.send_bytes(body, min(value, size))
                self.reset_connection()
            elif name == "trickle":
                self.start_body(200, str(size), close=True)
                if not head:
                    self.send_bytes(body, size, chunk=TRICKLE_CHUNK, pause=value / 1000.0,
                                    deadline=time.monotonic() + TRICKLE_LIMIT)
            elif name == "pace":
                self.start_body(200, str(size), close=True)
                if not head:
                    self.send_paced(body, size, value / 1000.0)
            elif name == "gzip":
                packed = gzip.compress(body.read())
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Encoding", "gzip")
                self.send_header("Content-Length", str(len(packed)))
                self.close_connection = True
                self.send_header("Connection", "close")
                self.end_headers()
                if not head:
                    self.send_all(packed)
            elif name == "lengths":
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                for item in value:
                    self.send_header("Content-Length", item)
                self.close_connection = True
                self.send_header("Connection", "close")
                self.end_headers()
                if not head:
                    self.send_bytes(body, size)
            elif name == "stall":
                self.start_body(200, str(size), close=True)
                deadline = time.monotonic() + STALL_LIMIT
                while time.monotonic() < deadline:
                    if self.client_closed(1.0):
                        break
            elif name == "length":
                self.start_body(200, value, close=True)
                if not head:
                    self.send_bytes(body, size)
            elif name == "longer":
                self.start_body(200, str(max(size - value, 0)), close=True)
                if not head:
                    self.send_bytes(body, size)
            elif name == "hold":
                self.start_body(200, None, close=True)
                if not head:
                    self.send_bytes(body, size)
                    deadline = time.monotonic() + min(value / 1000.0, STALL_LIMIT)
                    while time.monotonic() < deadline:
                        if self.client_closed(min(0.1, max(deadline - time.monotonic(), 0.0))):
                            break
            elif name == "holduntil":
                self.start_body(200, None, close=True)
                if not head:
                    self.send_bytes(body, size)
                    release = os.path.join(self.server.root, *value.split("/"))
                    deadline = time.monotonic() + STALL_LIMIT
                    while time.monotonic() < deadline and not os.path.exists(release):
                        if self.client_closed(0.05):
                            break
            elif name in ("chunked", "chunkcut"):
                whole = name == "chunked"
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Transfer-Encoding", "chunked")
                if not whole:
                    self.close_connection = True
                    self.send_header("Connection", "close")
                self.end_headers()
                if not head:
                    self.send_chunks(body, size if whole else min(value, size), last=whole)
                    if not whole:
                        self.reset_connection()
        except ClientGone:
            self.close_connection = True
        except OSError:
            self.close_connection = True


def make_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def watch(parent_pid, deadline, servers):
    """Ends the process when the watched parent is gone or the lifetime is over."""
    while time.monotonic() < deadline:
        time.sleep(2.0)
        if parent_pid:
            try:
                os.kill(parent_pid, 0)
            except ProcessLookupError:
                break
            except PermissionError:
                pass
    for server in servers:
        server.note("stopping")
    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description="Loopback release host for the Tavrin test bed.")
    parser.add_argument("--root", required=True, help="document root")
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--http-port", type=int, required=True)
    parser.add_argument("--https-port", type=int)
    parser.add_argument("--cert", help="PEM certificate for the HTTPS port")
    parser.add_argument("--key", help="PEM key for the HTTPS port")
    parser.add_argument("--untrusted-port", type=int)
    parser.add_argument("--untrusted-cert")
    parser.add_argument("--untrusted-key")
    parser.add_argument("--extra-https", action="append", default=[], metavar="PORT:CERT:KEY",
                        help="another HTTPS listener with its own certificate (repeatable)")
    parser.add_argument("--header-log", help="file that receives every request's headers")
    parser.add_argument("--max-lifetime", type=float, default=3600.0, help="seconds")
    parser.add_argument("--parent-pid", type=int, default=0,
                        help="exit once this process is gone (default: the parent process)")
    parser.add_argument("--log", help="request log file (default: none)")
    args = parser.parse_args()

    root = os.path.realpath(args.root)
    log = open(args.log, "a", buffering=1) if args.log else None
    header_log = open(args.header_log, "a", buffering=1) if args.header_log else None
    sent_log = open(os.path.join(os.path.dirname(args.log), "sent.log"), "a", buffering=1) if args.log else None
    listeners = [(args.http_port, "http", None)]
    if args.https_port:
        listeners.append((args.https_port, "https", make_context(args.cert, args.key)))
    if args.untrusted_port:
        listeners.append((args.untrusted_port, "https",
                          make_context(args.untrusted_cert, args.untrusted_key)))
    for extra in args.extra_https:
        port, cert, key = extra.split(":", 2)
        listeners.append((int(port), "https", make_context(cert, key)))

    servers = []
    try:
        for port, scheme, context in listeners:
            servers.append(ReleaseHost((args.bind, port), root, scheme, context, log, header_log, sent_log))
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            sys.stderr.write("release_host: port %d is in use\n" % port)
        else:
            sys.stderr.write("release_host: cannot listen on %d: %s\n" % (port, error))
        return 1

    for server in servers:
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.5},
                         daemon=True).start()
    parent = args.parent_pid or os.getppid()
    watch(parent, time.monotonic() + args.max_lifetime, servers)
    return 0


if __name__ == "__main__":
    sys.exit(main())

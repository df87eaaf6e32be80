"""A small HTTP server on 127.0.0.1 that serves files with byte ranges, as
object stores and web servers do, and counts what it was asked for; it can
fail one answer, as a flaky network does."""

from __future__ import annotations

import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

_RANGE = re.compile(r"bytes=(\d*)-(\d*)$")
# What a failing answer sends of its body before it breaks off.
_PART = 1000


class RangeServer:
    """Serves ``files`` (URL path -> file) on a port of its own while in a
    ``with`` block; ``requests`` lists (method, Range header) of every
    request, ``bytes_sent`` counts the body bytes sent.  ``fail_once``
    makes the next answer with a body fail; ``failed`` lists the Range
    headers of the answers that did."""

    def __init__(self, files: dict[str, Path]) -> None:
        self.files = {name: Path(path).read_bytes() for name, path in files.items()}
        self.requests: list[tuple[str, str | None]] = []
        self.bytes_sent = 0
        self.failed: list[str | None] = []
        self._failing: str | None = None
        self._released = threading.Event()
        self._lock = threading.Lock()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"  # keeps connections open, as clients expect

            def do_HEAD(self) -> None:
                self._answer(body=False)

            def do_GET(self) -> None:
                self._answer(body=True)

            def _answer(self, body: bool) -> None:
                asked = self.headers.get("Range")
                with server._lock:
                    server.requests.append((self.command, asked))
                data = server.files.get(self.path)
                if data is None:
                    self._send(404, b"", {}, body)
                    return
                if asked is None:
                    self._send(200, data, {}, body)
                    return
                span = _span(asked, len(data))
                if span is None:
                    self._send(416, b"", {"Content-Range": f"bytes */{len(data)}"}, body)
                    return
                first, last = span
                self._send(206, data[first:last + 1],
                           {"Content-Range": f"bytes {first}-{last}/{len(data)}"}, body)

            def _send(self, status: int, data: bytes, headers: dict[str, str], body: bool) -> None:
                self.send_response(status)
                self.send_header("Accept-Ranges", "bytes")
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(len(data)))
                for name, value in headers.items():
                    self.send_header(name, value)
                self.end_headers()
                with server._lock:
                    failing = server._failing if body and len(data) > _PART else None
                    if failing is not None:
                        server._failing = None
                        server.failed.append(self.headers.get("Range"))
                if failing is not None:
                    self.wfile.write(data[:_PART if failing != "drop" else 0])
                    self.wfile.flush()
                    if failing == "stall":
                        server._released.wait()
                    self.close_connection = True
                    return
                if body:
                    self.wfile.write(data)
                    with server._lock:
                        server.bytes_sent += len(data)

            def log_message(self, format: str, *args: object) -> None:
                pass  # quiet

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def url(self, name: str) -> str:
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}{name}"

    def fail_once(self, how: str) -> None:
        """The next answer with a body longer than a thousand bytes sends
        its headers (the whole length) and then: "drop", nothing; "cut",
        its first thousand bytes; "stall", those and nothing more until the
        server ends.  The connection is then closed."""
        assert how in ("drop", "cut", "stall")
        with self._lock:
            self._failing = how

    def reset(self) -> None:
        with self._lock:
            self.requests.clear()
            self.bytes_sent = 0

    def __enter__(self) -> RangeServer:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._released.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()


def _span(header: str, size: int) -> tuple[int, int] | None:
    """(first, last) byte of a single "bytes=" range, None when it cannot be
    satisfied (or is not a single range)."""
    match = _RANGE.match(header.strip())
    if match is None or match.groups() == ("", ""):
        return None
    first, last = match.groups()
    if first == "":  # the last N bytes
        return (max(0, size - int(last)), size - 1) if int(last) > 0 and size else None
    start = int(first)
    end = size - 1 if last == "" else min(int(last), size - 1)
    return (start, end) if start <= end else None

"""An HTTP server on 127.0.0.1 that serves files with byte ranges, as object
stores do, counts what it was asked for, and can fail one answer."""

from __future__ import annotations

import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

_RANGE = re.compile(r"bytes=(\d+)-(\d*)$")
_PART = 1000  # what a failing answer sends of its body before it breaks off


class RangeServer:
    """Serves ``files`` (URL path -> file) inside a ``with`` block;
    ``requests`` lists (method, Range header), ``bytes_sent`` counts body
    bytes, ``failed`` lists the Range headers of the answers that failed."""

    def __init__(self, files: dict[str, Path] | None = None) -> None:
        self.files = {name: Path(path).read_bytes() for name, path in (files or {}).items()}
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
                self.do_GET(body=False)

            def do_GET(self, body: bool = True) -> None:
                asked = self.headers.get("Range")
                with server._lock:
                    server.requests.append((self.command, asked))
                data = server.files.get(self.path, b"")
                status, headers = 200 if self.path in server.files else 404, dict[str, str]()
                if asked is not None and status == 200:
                    match = _RANGE.match(asked.strip())
                    first = int(match[1]) if match else len(data)
                    last = min(int(match[2]), len(data) - 1) if match and match[2] else len(data) - 1
                    status, headers = (416, {"Content-Range": f"bytes */{len(data)}"}) if first > last else (
                        206, {"Content-Range": f"bytes {first}-{last}/{len(data)}"})
                    data = data[first:last + 1]
                self.send_response(status)
                headers |= {"Accept-Ranges": "bytes", "Content-Type": "application/octet-stream",
                            "Content-Length": str(len(data))}
                for name, value in headers.items():
                    self.send_header(name, value)
                self.end_headers()
                with server._lock:
                    failing = server._failing if body and len(data) > _PART else None
                    if failing is not None:
                        server._failing = None
                        server.failed.append(asked)
                if failing is not None:
                    self.wfile.write(data[:_PART if failing != "drop" else 0])
                    self.wfile.flush()
                    if failing == "stall":
                        server._released.wait()
                    self.close_connection = True
                elif body:
                    self.wfile.write(data)
                    with server._lock:
                        server.bytes_sent += len(data)

            def log_message(self, format: str, *args: object) -> None:
                pass

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self._server.server_address[1]}{name}"

    def add(self, name: str, path: Path) -> str:
        self.files[name] = Path(path).read_bytes()
        return self.url(name)

    def fail_once(self, how: str) -> None:
        """The next answer with a body over 1000 bytes sends its headers and
        then "drop": nothing; "cut": 1000 bytes; "stall": those, then waits
        until the server ends.  Its connection is then closed."""
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

"""Reference service: the installer look-up and download server the launcher
talks to, for development, the demo and the end-to-end tests.

It is a small HTTP/1.1 server (plain HTTP, or HTTPS with a given certificate
chain and key) listening on 127.0.0.1. It keeps connections alive the way a
production web server does, serves registered files with byte ranges, answers
``/getinstaller?key=...`` from a table the caller fills, records every request,
and can misbehave on purpose, one scripted fault per request.

In-process use::

    with ReferenceService(cert='chain.pem', key='key.pem') as service:
        service.add_file('/files/setup.bin', data)
        service.set_reply('ABC-123', f'GET:{service.base_url}/files/setup.bin')
        service.queue_fault('/files/setup.bin', close_after=1000, reset=True)
        ...
        service.wait_for_requests(2)
        assert service.log[1].range == 'bytes=1000-'

Files
    ``add_file(path, data, last_modified=DEFAULT_LAST_MODIFIED, content_type=...)``
    answers GET and HEAD with ``Content-Length``, ``Last-Modified`` (left out
    when None) and ``Accept-Ranges: bytes``. A single range ``bytes=A-B``,
    ``bytes=A-`` or ``bytes=-N`` is answered 206 with ``Content-Range``; a
    range starting at or beyond the end is answered 416; malformed or multiple
    ranges are ignored (200 with the whole body), as HTTP allows. An
    ``If-Range`` date that is not the file's ``Last-Modified`` also gets the
    whole body. ``add_installer`` serves zlib- or gzip-compressed bytes.

Installer look-up
    ``GET /getinstaller?key=K`` answers the text given with ``set_reply(K,
    text)`` (200, text/plain) exactly as given. An unknown key gets
    ``set_default_reply(text)`` when one is set, else 404. The key is read
    with form decoding (``%XX`` and ``+`` for space); the request log keeps
    the query exactly as it arrived.

Faults
    A fault describes how one response goes wrong. It is a ``Fault`` or a
    dict with the same field names. ``queue_fault(path, ...)`` appends to that
    path's queue; each request to the path takes the next queued fault, and
    once the queue is empty the path's default fault (``set_default_fault``)
    applies, if any. Fields, all optional and freely combined:

    ``delay``           seconds to wait before the status line (a long one
                        is a server that never answers; stop() cuts it short)
    ``no_answer``       read the request, then close without answering
    ``status``          status code sent instead of the normal one. 200 and
                        206 change only the status line (so 206 on a request
                        without Range is a 206 without Content-Range); any
                        other code sends ``body`` or a small HTML page for that
                        status, without the file's headers
    ``body``            bytes sent instead of the normal body
    ``ignore_range``    answer a Range request with 200 and the whole body
    ``content_range``   text of the Content-Range header (added or replaced)
    ``content_length``  text of the Content-Length header (added or replaced;
                        need not be a number); the body sent is unchanged and
                        the connection is closed after it
    ``omit_headers``    names of headers to leave out, e.g. ('Content-Range',)
    ``extra_headers``   (name, value) pairs added at the end of the headers
    ``framing``         'length' (Content-Length, the default), 'chunked'
                        (Transfer-Encoding: chunked, no Content-Length) or
                        'close' (no Content-Length; the close ends the body)
    ``close_after``     close the connection after this many body bytes
                        (0: right after the headers)
    ``reset``           close with a TCP reset (RST, SO_LINGER 0) instead of a
                        clean FIN; applies to ``close_after``, ``no_answer``
                        and every other close of this response
    ``chunk_size``      bytes per write (default 1 MiB, 64 KiB with
                        ``chunk_delay``, about 20 ms worth with ``rate``)
    ``chunk_delay``     seconds to wait between two body writes
    ``rate``            bandwidth limit in bytes per second (paced writes
                        that sleep between them; accurate to a few percent)

    A clean close (FIN) always drains what the client still sends, so the
    kernel never turns it into a reset; a reset first waits (up to 1 s) until
    the client has acknowledged the bytes already written, so the client
    sees them before the reset.

Request log
    ``log`` lists a ``Request`` per request received, in order, including
    requests answered by a fault: method, target, path, query (raw, escapes
    intact), range (raw Range header or None), proxy_authorization (whether
    that header was present), headers (dict as received; ``header(name)``
    looks up case-insensitively), header_list, http_version, client_port,
    connection (number of the connection, counted from 1, so keep-alive reuse
    is visible), time, body_sent (body bytes of the response written so far)
    and finished (when the whole response was written, else None).
    ``wait_for_requests(n, timeout)`` waits until n have
    arrived. ``tls_errors`` collects failed TLS handshakes.

The command-line wrapper is tools/dev/reference-service (``--help``).
"""
from __future__ import annotations

import array
import dataclasses
import email.utils
import fcntl
import gzip
import html
import http
import json
import select
import socket
import ssl
import struct
import termios
import threading
import time
import urllib.parse
import zlib
from typing import Callable, Iterable

DEFAULT_LAST_MODIFIED = 'Wed, 21 Oct 2015 07:28:00 GMT'
DEFAULT_CONTENT_TYPE = 'application/octet-stream'
SERVER_NAME = 'loomcraft-reference/1'

MAX_LINE = 16384
MAX_HEADERS = 200
IDLE_TIMEOUT = 60.0          # seconds a kept-alive connection may sit idle
LINGER_TIMEOUT = 2.0         # seconds a clean close waits for the client's FIN
BIG_WRITE = 1 << 20
SLOW_WRITE = 64 << 10
FRAMINGS = ('length', 'chunked', 'close')


class _Stopping(Exception):
    """The service is shutting down; abandon the connection."""


@dataclasses.dataclass
class Fault:
    """How one response misbehaves; see the module description."""
    delay: float = 0.0
    no_answer: bool = False
    status: int | None = None
    body: bytes | None = None
    ignore_range: bool = False
    content_range: str | None = None
    content_length: str | None = None
    omit_headers: tuple = ()
    extra_headers: tuple = ()
    framing: str = 'length'
    close_after: int | None = None
    reset: bool = False
    chunk_size: int | None = None
    chunk_delay: float = 0.0
    rate: float | None = None

    def __post_init__(self):
        if self.framing not in FRAMINGS:
            raise ValueError(f'framing must be one of {FRAMINGS}, not {self.framing!r}')
        if self.rate is not None and self.rate <= 0:
            raise ValueError('rate must be positive')
        if self.chunk_size is not None and self.chunk_size <= 0:
            raise ValueError('chunk_size must be positive')
        if self.close_after is not None and self.close_after < 0:
            raise ValueError('close_after must not be negative')
        if isinstance(self.body, str):
            self.body = self.body.encode()
        if isinstance(self.omit_headers, str):
            self.omit_headers = (self.omit_headers,)
        self.omit_headers = tuple(self.omit_headers)
        self.extra_headers = tuple((str(n), str(v)) for n, v in self.extra_headers)

    @classmethod
    def of(cls, value=None, **fields) -> 'Fault':
        if isinstance(value, Fault):
            return dataclasses.replace(value, **fields) if fields else value
        return cls(**{**(value or {}), **fields})


@dataclasses.dataclass
class Request:
    """One request as the service received it."""
    method: str
    target: str
    path: str
    query: str
    range: str | None
    proxy_authorization: bool
    headers: dict
    header_list: list
    http_version: str
    client_port: int
    connection: int
    time: float
    body_sent: int = 0   # body bytes of the response written to the socket so far
    finished: float | None = None   # when the whole response was written (time.time())

    def header(self, name: str, default=None):
        name = name.lower()
        for key, value in self.header_list:
            if key.lower() == name:
                return value
        return default

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)


@dataclasses.dataclass
class _Resource:
    data: memoryview
    last_modified: str | None
    content_type: str
    ranges: bool


@dataclasses.dataclass
class _Response:
    status: int
    headers: list
    body: memoryview
    close: bool = False


def _page(status: int, detail: str = '') -> bytes:
    try:
        reason = http.HTTPStatus(status).phrase
    except ValueError:
        reason = 'Unknown'
    text = f'<html><head><title>{status} {reason}</title></head><body><h1>{status} {reason}</h1>'
    if detail:
        text += f'<p>{html.escape(detail)}</p>'
    return (text + '</body></html>\n').encode()


def _reason(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return 'Unknown'


def parse_range(value: str, total: int):
    """The (first, last) byte positions a Range header asks for, 'unsatisfiable',
    or None when the header is to be ignored (malformed, several ranges)."""
    unit, _, spec = value.partition('=')
    if unit.strip().lower() != 'bytes' or ',' in spec:
        return None
    first_text, dash, last_text = spec.strip().partition('-')
    first_text, last_text = first_text.strip(), last_text.strip()
    if not dash or not (first_text.isdigit() or first_text == '') or not (last_text.isdigit() or last_text == ''):
        return None
    if first_text == '':
        if last_text == '':
            return None
        suffix = int(last_text)
        if suffix == 0 or total == 0:
            return 'unsatisfiable'
        return max(0, total - suffix), total - 1
    first = int(first_text)
    last = int(last_text) if last_text else None
    if last is not None and last < first:
        return None
    if first >= total:
        return 'unsatisfiable'
    last = total - 1 if last is None else last
    return first, min(last, total - 1)


def compress(data: bytes, compression: str = 'zlib') -> bytes:
    if compression == 'zlib':
        return zlib.compress(data, 6)
    if compression == 'gzip':
        return gzip.compress(data, compresslevel=6, mtime=0)
    raise ValueError(f'compression must be zlib or gzip, not {compression!r}')


class ReferenceService:
    def __init__(self, cert=None, key=None, port: int = 0, host_name: str = 'localhost'):
        if (cert is None) != (key is None):
            raise ValueError('give both a certificate chain and a key, or neither')
        self._tls = None
        if cert is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(str(cert), str(key))
            context.set_alpn_protocols(['http/1.1'])
            self._tls = context
        self._requested_port = port
        self.host_name = host_name
        self.port = None
        self._lock = threading.Lock()
        self._arrived = threading.Condition(self._lock)
        self._files: dict[str, _Resource] = {}
        self._replies: dict[str, tuple[int, bytes]] = {}
        self._default_reply: tuple[int, bytes] | None = None
        self._queued: dict[str, list[Fault]] = {}
        self._default_faults: dict[str, Fault] = {}
        self._log: list[Request] = []
        self._listeners: list[Callable[[Request], None]] = []
        self.tls_errors: list[str] = []
        self._connections = 0
        self._open: set = set()
        self._threads: set = set()
        self._stopping = threading.Event()
        self._listener = None
        self._wake = None
        self._accept_thread = None

    # -- lifetime ---------------------------------------------------------

    @property
    def scheme(self) -> str:
        return 'https' if self._tls else 'http'

    @property
    def base_url(self) -> str:
        return f'{self.scheme}://{self.host_name}:{self.port}'

    def url(self, path: str) -> str:
        return self.base_url + path

    def start(self) -> 'ReferenceService':
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(('127.0.0.1', self._requested_port))
        listener.listen(128)
        self._listener = listener
        self.port = listener.getsockname()[1]
        self._wake = socket.socketpair()
        self._stopping.clear()
        self._accept_thread = threading.Thread(target=self._accept_loop, name=f'reference-service-{self.port}',
                                               daemon=True)
        self._accept_thread.start()
        return self

    def stop(self):
        if self._listener is None:
            return
        self._stopping.set()
        self._wake[1].send(b'x')
        self._accept_thread.join(5)
        self._listener.close()
        for end in self._wake:
            end.close()
        with self._lock:
            open_sockets, threads = list(self._open), list(self._threads)
        for sock in open_sockets:
            try:
                socket.socket.shutdown(sock, socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in threads:
            thread.join(5)
        self._listener = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- content ----------------------------------------------------------

    def add_file(self, path: str, data: bytes, last_modified: str | None = DEFAULT_LAST_MODIFIED,
                 content_type: str = DEFAULT_CONTENT_TYPE):
        with self._lock:
            data = data if isinstance(data, bytes) else bytes(data)
            self._files[path] = _Resource(memoryview(data), last_modified, content_type, True)

    def remove_file(self, path: str):
        with self._lock:
            self._files.pop(path, None)

    def add_installer(self, path: str, exe_bytes: bytes, compression: str = 'zlib', **file_options) -> bytes:
        """Serves exe_bytes compressed at path; returns the compressed bytes."""
        packed = compress(exe_bytes, compression)
        self.add_file(path, packed, **file_options)
        return packed

    def set_reply(self, key: str, reply, status: int = 200):
        with self._lock:
            self._replies[key] = (status, reply.encode() if isinstance(reply, str) else bytes(reply))

    def remove_reply(self, key: str):
        with self._lock:
            self._replies.pop(key, None)

    def set_default_reply(self, reply, status: int = 200):
        """What an unknown key gets; None restores the 404."""
        with self._lock:
            if reply is None:
                self._default_reply = None
            else:
                self._default_reply = (status, reply.encode() if isinstance(reply, str) else bytes(reply))

    # -- faults -----------------------------------------------------------

    def queue_fault(self, path: str, fault: Fault | dict | None = None, **fields):
        """Appends a fault for the next otherwise unfaulted request to path."""
        with self._lock:
            self._queued.setdefault(path, []).append(Fault.of(fault, **fields))

    def queue_faults(self, path: str, faults: Iterable):
        for fault in faults:
            self.queue_fault(path, fault)

    def set_default_fault(self, path: str, fault: Fault | dict | None = None, **fields):
        """A fault for every request to path once its queue is empty; no fault
        and no fields clear it."""
        with self._lock:
            if fault is None and not fields:
                self._default_faults.pop(path, None)
            else:
                self._default_faults[path] = Fault.of(fault, **fields)

    def queued_faults(self, path: str) -> int:
        with self._lock:
            return len(self._queued.get(path, ()))

    def clear_faults(self):
        with self._lock:
            self._queued.clear()
            self._default_faults.clear()

    def _take_fault(self, path: str) -> Fault:
        with self._lock:
            queue = self._queued.get(path)
            if queue:
                return queue.pop(0)
            return self._default_faults.get(path) or Fault()

    # -- request log ------------------------------------------------------

    @property
    def log(self) -> list[Request]:
        with self._lock:
            return list(self._log)

    def clear_log(self):
        with self._lock:
            self._log.clear()

    def requests_for(self, path: str) -> list[Request]:
        return [request for request in self.log if request.path == path]

    def wait_for_requests(self, count: int, timeout: float = 10.0) -> list[Request]:
        """Waits until the log holds at least count requests; returns the log."""
        deadline = time.monotonic() + timeout
        with self._arrived:
            while len(self._log) < count:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    seen = [f'{r.method} {r.target}' for r in self._log]
                    raise TimeoutError(f'{len(self._log)} of {count} requests arrived within {timeout} s: {seen}')
                self._arrived.wait(remaining)
            return list(self._log)

    def add_listener(self, callback: Callable[[Request], None]):
        """Calls callback(request) on the connection's thread for each request logged."""
        with self._lock:
            self._listeners.append(callback)

    @property
    def connections(self) -> int:
        """Number of connections accepted so far."""
        with self._lock:
            return self._connections

    # -- connections ------------------------------------------------------

    def _accept_loop(self):
        while not self._stopping.is_set():
            try:
                ready, _, _ = select.select([self._listener, self._wake[0]], [], [])
            except (OSError, ValueError):
                return
            if self._wake[0] in ready or self._stopping.is_set():
                return
            try:
                sock, address = self._listener.accept()
            except OSError:
                continue
            with self._lock:
                self._connections += 1
                number = self._connections
            thread = threading.Thread(target=self._serve_connection, args=(sock, address[1], number),
                                      name=f'reference-service-{self.port}-{number}', daemon=True)
            with self._lock:
                self._threads.add(thread)
            thread.start()

    def _serve_connection(self, sock: socket.socket, client_port: int, number: int):
        with self._lock:
            self._open.add(sock)
        reset, reader = False, None
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.settimeout(IDLE_TIMEOUT)
            if self._tls is not None:
                raw = sock
                sock = self._tls.wrap_socket(raw, server_side=True, do_handshake_on_connect=False)
                with self._lock:
                    self._open.discard(raw)
                    self._open.add(sock)
                try:
                    sock.do_handshake()
                except (ssl.SSLError, OSError) as error:
                    with self._lock:
                        self.tls_errors.append(str(error))
                    return
            reader = sock.makefile('rb', buffering=65536)
            keep_alive = True
            while keep_alive and not self._stopping.is_set():
                keep_alive, reset = self._serve_request(sock, reader, client_port, number)
        except (_Stopping, OSError, ssl.SSLError, ValueError):
            pass
        finally:
            with self._lock:
                self._open.discard(sock)
            if reader is not None:
                reader.close()  # else sock.close() would leave the descriptor open
            _close(sock, reset, self._stopping)
            with self._lock:
                self._threads.discard(threading.current_thread())

    def _serve_request(self, sock, reader, client_port: int, number: int):
        """Reads and answers one request; returns (keep the connection, close by reset)."""
        request_line = b''
        for _ in range(5):  # a few empty lines may precede a request
            request_line = reader.readline(MAX_LINE + 1)
            if not request_line:
                return False, False
            if request_line.strip():
                break
        if len(request_line) > MAX_LINE:
            self._send_plain(sock, 414)
            return False, False
        parts = request_line.decode('latin-1').rstrip('\r\n').split(' ')
        if len(parts) != 3 or not parts[2].startswith('HTTP/1.'):
            self._send_plain(sock, 400)
            return False, False
        method, target, version = parts
        header_list = []
        while True:
            line = reader.readline(MAX_LINE + 1)
            if not line:
                return False, False
            if line in (b'\r\n', b'\n'):
                break
            if len(line) > MAX_LINE or len(header_list) >= MAX_HEADERS:
                self._send_plain(sock, 431)
                return False, False
            name, colon, value = line.decode('latin-1').partition(':')
            if not colon or not name or name != name.strip():
                self._send_plain(sock, 400)
                return False, False
            header_list.append((name, value.strip()))
        headers = {}
        for name, value in header_list:
            headers[name] = f'{headers[name]}, {value}' if name in headers else value

        def header(wanted):
            return next((v for n, v in header_list if n.lower() == wanted), None)

        if target.startswith(('http://', 'https://')):
            split = urllib.parse.urlsplit(target)
            path, query = split.path or '/', split.query
        else:
            path, _, query = target.partition('?')
        entry = Request(method=method, target=target, path=path, query=query, range=header('range'),
                        proxy_authorization=header('proxy-authorization') is not None, headers=headers,
                        header_list=header_list, http_version=version, client_port=client_port,
                        connection=number, time=time.time())
        with self._arrived:
            self._log.append(entry)
            listeners = list(self._listeners)
            self._arrived.notify_all()
        for listener in listeners:
            try:
                listener(entry)
            except Exception:  # a broken listener must not take the service down
                pass

        # Request bodies are read and dropped; chunked ones are not accepted.
        if header('transfer-encoding') is not None:
            self._send_plain(sock, 501, 'request bodies must carry Content-Length')
            return False, False
        body_length = header('content-length')
        if body_length is not None:
            if not body_length.isdigit():
                self._send_plain(sock, 400, 'bad Content-Length')
                return False, False
            remaining = int(body_length)
            while remaining:
                chunk = reader.read(min(remaining, 65536))
                if not chunk:
                    return False, False
                remaining -= len(chunk)

        connection = (header('connection') or '').lower()
        client_keeps = 'close' not in connection and (version != 'HTTP/1.0' or 'keep-alive' in connection)

        fault = self._take_fault(path)
        if fault.delay:
            self._pause(fault.delay)
        if fault.no_answer:
            return False, fault.reset

        response = self._respond(method, path, query, header, fault)
        close = response.close or not client_keeps
        if close and not any(n.lower() == 'connection' for n, _ in response.headers):
            response.headers.append(('Connection', 'close'))
        self._send_response(sock, method, response, fault, entry)
        return not close, fault.reset

    # -- responses --------------------------------------------------------

    def _respond(self, method, path, query, header, fault: Fault) -> _Response:
        with self._lock:
            resource = self._files.get(path) or self._files.get(urllib.parse.unquote(path))
            if resource is None and path == '/getinstaller':
                values = urllib.parse.parse_qs(query, keep_blank_values=True).get('key')
                reply = self._replies.get(values[0]) if values else None
                if reply is None:
                    reply = self._default_reply
                if reply is not None:
                    status, text = reply
                    resource = _Resource(memoryview(text), None, 'text/plain; charset=utf-8', False)
                    if status != 200:
                        return self._apply(self._page_response(status, text), fault)
        if method not in ('GET', 'HEAD'):
            response = self._page_response(405)
            response.headers.append(('Allow', 'GET, HEAD'))
            return self._apply(response, fault)
        if resource is None:
            return self._apply(self._page_response(404), fault)

        data = resource.data
        total = len(data)
        status, body, content_range = 200, data, None
        range_value = header('range')
        if resource.ranges and range_value is not None and not fault.ignore_range:
            if_range = header('if-range')
            wanted = parse_range(range_value, total)
            if if_range is not None and if_range != resource.last_modified:
                wanted = None
            if wanted == 'unsatisfiable':
                response = self._page_response(416)
                response.headers.append(('Content-Range', f'bytes */{total}'))
                return self._apply(response, fault)
            if wanted is not None:
                first, last = wanted
                status, body = 206, data[first:last + 1]
                content_range = f'bytes {first}-{last}/{total}'
        headers = [('Content-Type', resource.content_type), ('Content-Length', str(len(body)))]
        if resource.last_modified is not None:
            headers.append(('Last-Modified', resource.last_modified))
        if resource.ranges:
            headers.append(('Accept-Ranges', 'bytes'))
        if content_range is not None:
            headers.append(('Content-Range', content_range))
        return self._apply(_Response(status, headers, body), fault)

    @staticmethod
    def _page_response(status: int, body: bytes | None = None) -> _Response:
        body = _page(status) if body is None else body
        content_type = 'text/html; charset=utf-8' if body.startswith(b'<html') else 'text/plain; charset=utf-8'
        return _Response(status, [('Content-Type', content_type), ('Content-Length', str(len(body)))],
                         memoryview(body))

    @staticmethod
    def _apply(response: _Response, fault: Fault) -> _Response:
        def put(name, value):
            response.headers = [(n, v) for n, v in response.headers if n.lower() != name.lower()]
            response.headers.append((name, value))

        if fault.status is not None and fault.status not in (200, 206):
            body = fault.body if fault.body is not None else _page(fault.status)
            response = ReferenceService._page_response(fault.status, body)
        elif fault.status is not None:
            response.status = fault.status
        if fault.body is not None:
            response.body = memoryview(fault.body)
            put('Content-Length', str(len(fault.body)))
        if fault.content_range is not None:
            put('Content-Range', fault.content_range)
        if fault.framing == 'chunked':
            response.headers = [(n, v) for n, v in response.headers if n.lower() != 'content-length']
            response.headers.append(('Transfer-Encoding', 'chunked'))
        elif fault.framing == 'close':
            response.headers = [(n, v) for n, v in response.headers if n.lower() != 'content-length']
            response.close = True
        if fault.content_length is not None:
            put('Content-Length', fault.content_length)
            response.close = True
        omitted = {name.lower() for name in fault.omit_headers}
        if 'content-length' in omitted and fault.framing == 'length':
            response.close = True  # without a length only the close can end the body
        response.headers = [(n, v) for n, v in response.headers if n.lower() not in omitted]
        response.headers.extend(fault.extra_headers)
        if fault.close_after is not None:
            response.close = True
        return response

    def _send_plain(self, sock, status: int, detail: str = ''):
        body = _page(status, detail)
        head = (f'HTTP/1.1 {status} {_reason(status)}\r\nContent-Type: text/html; charset=utf-8\r\n'
                f'Content-Length: {len(body)}\r\nConnection: close\r\n\r\n').encode('latin-1')
        sock.sendall(head + body)

    def _send_response(self, sock, method: str, response: _Response, fault: Fault, entry: Request):
        lines = [f'HTTP/1.1 {response.status} {_reason(response.status)}',
                 f'Date: {email.utils.formatdate(usegmt=True)}', f'Server: {SERVER_NAME}']
        lines += [f'{name}: {value}' for name, value in response.headers]
        head = ('\r\n'.join(lines) + '\r\n\r\n').encode('latin-1')
        body = response.body if method != 'HEAD' else memoryview(b'')
        if fault.close_after is not None:
            body = body[:fault.close_after]
        chunked = fault.framing == 'chunked' and method != 'HEAD'
        plain = not chunked and fault.rate is None and not fault.chunk_delay and fault.chunk_size is None
        if plain and len(body) <= SLOW_WRITE:
            sock.sendall(head + body)  # one write for small answers
            entry.body_sent, entry.finished = len(body), time.time()
            return
        sock.sendall(head)
        if fault.chunk_size is not None:
            size = fault.chunk_size
        elif fault.rate is not None:
            size = int(min(BIG_WRITE, max(512, fault.rate / 50)))
        elif fault.chunk_delay:
            size = SLOW_WRITE
        else:
            size = BIG_WRITE
        started, sent = time.monotonic(), 0
        while sent < len(body):
            if sent and fault.chunk_delay:
                self._pause(fault.chunk_delay)
            if fault.rate is not None:
                wait = started + sent / fault.rate - time.monotonic()
                if wait > 0:
                    self._pause(wait)
            piece = body[sent:sent + size]
            if chunked:
                frame = f'{len(piece):x}\r\n'.encode()
                if len(piece) <= SLOW_WRITE:
                    sock.sendall(frame + piece + b'\r\n')
                else:
                    sock.sendall(frame)
                    sock.sendall(piece)
                    sock.sendall(b'\r\n')
            else:
                sock.sendall(piece)
            sent += len(piece)
            entry.body_sent = sent
        if chunked and fault.close_after is None:
            sock.sendall(b'0\r\n\r\n')
        entry.finished = time.time()

    def _pause(self, seconds: float):
        if self._stopping.wait(seconds):
            raise _Stopping()


def _unsent_bytes(sock) -> int:
    """Bytes written to sock that the peer has not acknowledged yet."""
    queued = array.array('i', [0])
    fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, queued)
    return queued[0]


def _close(sock, reset: bool, stopping: threading.Event):
    try:
        if reset:
            # Let the client receive what was written, then reset.
            deadline = time.monotonic() + 1.0
            while _unsent_bytes(sock) and time.monotonic() < deadline and not stopping.is_set():
                time.sleep(0.005)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
            return
        if isinstance(sock, ssl.SSLSocket) and not stopping.is_set():
            # close_notify first, as a TLS server closing properly does.
            sock.settimeout(0.5)
            try:
                sock.unwrap()
            except (ssl.SSLError, OSError, ValueError):
                pass
        # FIN, then read until the client closes too: closing with unread
        # input would make the kernel answer with a reset.
        socket.socket.shutdown(sock, socket.SHUT_WR)
        deadline = time.monotonic() + LINGER_TIMEOUT
        while time.monotonic() < deadline and not stopping.is_set():
            sock.settimeout(0.1)
            try:
                if not socket.socket.recv(sock, 65536):
                    break
            except socket.timeout:
                continue
    except (OSError, ValueError):
        pass
    finally:
        try:
            sock.close()
        except OSError:
            pass


# -- command line -----------------------------------------------------------

def _pair(text: str, option: str):
    name, equals, value = text.partition('=')
    if not equals or not name:
        raise SystemExit(f'reference-service: {option} wants NAME=VALUE, not {text!r}')
    return name, value


def main(argv=None) -> int:
    import argparse
    import os
    import signal
    import sys

    parser = argparse.ArgumentParser(prog='reference-service', description=(
        'Serves installer look-ups (/getinstaller?key=...) and files on 127.0.0.1 until SIGTERM or SIGINT.'))
    parser.add_argument('--port', type=int, default=0, help='port to listen on (default: any free one)')
    parser.add_argument('--cert', help='certificate chain (PEM, server first); with --key serves HTTPS')
    parser.add_argument('--key', help='private key of the certificate (PEM)')
    parser.add_argument('--host-name', default='localhost', help='host name used in printed URLs')
    parser.add_argument('--file', action='append', default=[], metavar='URLPATH=LOCALPATH',
                        help='serve a local file at URLPATH (repeatable)')
    parser.add_argument('--installer', action='append', default=[], metavar='URLPATH=EXEPATH[:gzip]',
                        help='serve EXEPATH zlib-compressed (gzip with :gzip) at URLPATH (repeatable)')
    parser.add_argument('--reply', action='append', default=[], metavar='KEY=TEXT',
                        help='answer /getinstaller?key=KEY with TEXT (repeatable)')
    parser.add_argument('--rate', action='append', default=[], metavar='URLPATH=BYTES',
                        help='serve URLPATH at most BYTES per second (repeatable)')
    parser.add_argument('--log', help='append each request to FILE as a JSON line')
    parser.add_argument('--ready-file', help='write the port to FILE once listening')
    args = parser.parse_args(argv)
    if (args.cert is None) != (args.key is None):
        parser.error('--cert and --key go together')

    service = ReferenceService(args.cert, args.key, args.port, args.host_name)
    for item in args.file:
        url_path, local = _pair(item, '--file')
        with open(local, 'rb') as source:
            service.add_file(url_path, source.read())
    for item in args.installer:
        url_path, local = _pair(item, '--installer')
        compression = 'zlib'
        for suffix in ('gzip', 'zlib'):
            if local.endswith(':' + suffix):
                local, compression = local[:-len(suffix) - 1], suffix
        with open(local, 'rb') as source:
            service.add_installer(url_path, source.read(), compression)
    for item in args.reply:
        service.set_reply(*_pair(item, '--reply'))
    for item in args.rate:
        url_path, rate = _pair(item, '--rate')
        service.set_default_fault(url_path, rate=float(rate))

    log_file = None
    if args.log:
        log_file = open(args.log, 'a', encoding='utf-8')
        log_lock = threading.Lock()

        def write_entry(request: Request):
            with log_lock:
                log_file.write(json.dumps(request.to_dict()) + '\n')
                log_file.flush()

        service.add_listener(write_entry)

    finished = threading.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: finished.set())
    service.start()
    if args.ready_file:
        temporary = f'{args.ready_file}.{os.getpid()}'
        with open(temporary, 'w') as ready:
            ready.write(f'{service.port}\n')
        os.replace(temporary, args.ready_file)
    print(f'reference-service: listening on {service.base_url}', file=sys.stderr, flush=True)
    while not finished.wait(1.0):
        pass
    service.stop()
    if log_file is not None:
        log_file.close()
    return 0


if __name__ == '__main__':
    raise SystemExit(main())

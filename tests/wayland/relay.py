"""A Wayland relay for the tests: it stands between a client (the game) and
the compositor, passes bytes and file descriptors both ways, and counts the
client's surface commits on the way.

    from relay import Relay
    relay = Relay(runtime_dir, upstream="wayland-1", name="skorrel-relay").start()
    env["WAYLAND_DISPLAY"] = relay.name       # the client connects here
    relay.pause()            # reads nothing more from the client, sends it nothing
    relay.resume()           # goes on with what was held, nothing lost
    relay.cut()              # closes the client's connections and their upstream ones
    relay.wait_connections(2, timeout=10)     # the client came back
    relay.commits_between(t0, t1, role="xdg") # commits of its windows in [t0, t1)
    relay.rate(t0, t1, role="xdg", conn=2)    # the same per second, connection 2
    relay.connection()       # the latest Connection: fds, pools, bytes, opened, closed
    relay.surfaces           # every Surface seen: conn, id, role, created, commits
    relay.totals()           # sums: commits, fds, shm pools, connections, errors
    relay.hold_event("zwp_locked_pointer_v1", 0, seconds=2.0)  # `locked` comes late
    relay.drop_frames()      # no frame is ever said drawn
    relay.held               # [conn, interface, opcode, read, passed] for each one held
    relay.unlocks            # when the client let go of a pointer lock
    relay.close()

Times are time.monotonic(), the clock of e2e.py, taken as the relay reads a
request: what a paused client wrote is counted when it is read after
resume(). A surface's role is "xdg" once it has an xdg_surface (a window;
the game's covering surface), "sub" once it is a sub-surface, None
otherwise (a cursor). Connections are numbered from 1 in the order they
came; the filters take conn=N, surface=S and with_buffer=True (only commits
with a buffer attached since the one before).

While paused the relay still reads what the compositor sends and keeps it,
so the compositor sees a client that keeps up while the client sees one
that has stopped: its socket fills once it has written enough.

A held event is passed on its delay after the relay read it; what came
after it goes on meanwhile (a dropped one is held for ever: its "passed"
stays None). Its "passed" is when the relay began the send
that put its last byte in the client's socket (None until then, and a
moment after the client may have it): while paused, after resume(). Once a
rule is set the compositor's messages are passed one by one, a partial one
kept until it is whole; file descriptors go with the first bytes passed
after they were read, so an event that carries some must not be held.

This file is the relay itself: its rules, its records and the sockets;
what it reads of the messages on the wire is in relay_wire.py.
"""
import array
import collections
import math
import os
import select
import socket
import struct
import sys
import threading
import time
import traceback

from relay_wire import FRAME, HIGH_WATER, MAX_FDS, Connection, Pair, Surface, WireReader

class Relay(WireReader):
    def __init__(self, runtime_dir, upstream, name="skorrel-relay"):
        self.runtime_dir = runtime_dir
        self.upstream = upstream if os.path.isabs(upstream) else os.path.join(runtime_dir, upstream)
        self.name = name
        self.path = os.path.join(runtime_dir, name)
        self._lock = threading.Lock()
        self._calls = collections.deque()
        self._pairs = []
        self._paused = False
        self._stop = False
        self._holds = {}                       # (interface, opcode): seconds, inf for never; the relay's thread only
        self._thread = None
        # What was seen, under _lock.
        self.surfaces = []
        self._commits = []                     # (time, Surface, with a new buffer)
        self.connections = []                  # Connection, by number - 1
        self.pauses = []                       # [paused, resumed or None]
        self.errors = []                       # what went wrong in the relay itself
        self.protocol_errors = []              # wl_display.error events: (conn, object, code, message)
        self.held = []                         # [conn, interface, opcode, read, passed or None]
        self.unlocks = []                      # when the client destroyed a pointer lock

    # ---- control, from the test's thread --------------------------------

    def start(self):
        if os.path.exists(self.path):
            os.unlink(self.path)
        self._listen = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listen.bind(self.path)
        self._listen.listen(8)
        self._listen.setblocking(False)
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._thread = threading.Thread(target=self._run, name="wayland-relay", daemon=True)
        self._thread.start()
        return self

    def close(self):
        if not self._thread:
            return
        if self._thread.is_alive():
            self._call(lambda: setattr(self, "_stop", True))
        self._thread.join(5)
        self._thread = None
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def pause(self):
        """Once this returns, nothing more is read from the client or sent to it."""
        def do():
            if not self._paused:
                self._paused = True
                with self._lock:
                    self.pauses.append([time.monotonic(), None])
        self._call(do)

    def resume(self):
        def do():
            if self._paused:
                self._paused = False
                with self._lock:
                    self.pauses[-1][1] = time.monotonic()
        self._call(do)

    def hold_event(self, interface, opcode, seconds):
        """From now on each event `opcode` the compositor sends to an object
        of `interface` reaches the client `seconds` after it was read."""
        seconds = float(seconds)
        self._call(lambda: self._holds.__setitem__((interface, opcode), seconds))

    def drop_frames(self):
        """From now on no frame callback's done reaches the client, as from a
        compositor that never draws its surfaces. The delete_id that follows
        each one goes on: the client keeps its callback until it lets it go."""
        self._call(lambda: self._holds.__setitem__((FRAME, 0), math.inf))

    @property
    def paused(self):
        return self._paused

    def cut(self):
        """Closes every open client connection and its upstream one; what
        either side had sent and the other not yet got is dropped. Returns
        how many were cut."""
        return self._call(lambda: sum(self._drop(p) for p in list(self._pairs)))

    # ---- what was seen --------------------------------------------------

    def _pick(self, role, conn, surface):
        return [c for c in self._commits
                if (role is None or c[1].role == role) and (conn is None or c[1].conn == conn)
                and (surface is None or c[1] is surface)]

    def commit_times(self, role=None, conn=None, surface=None, with_buffer=False):
        with self._lock:
            return [t for t, _, b in self._pick(role, conn, surface) if b or not with_buffer]

    def commits_between(self, t0, t1, role=None, conn=None, surface=None, with_buffer=False):
        """Commits the relay passed on with t0 <= time < t1."""
        with self._lock:
            return sum(1 for t, _, b in self._pick(role, conn, surface) if t0 <= t < t1 and (b or not with_buffer))

    def rate(self, t0, t1, **kw):
        """Commits per second over [t0, t1)."""
        return self.commits_between(t0, t1, **kw) / (t1 - t0) if t1 > t0 else 0.0

    def commits(self, **kw):
        return self.commits_between(float("-inf"), float("inf"), **kw)

    def open_connections(self):
        with self._lock:
            return sum(1 for c in self.connections if c.closed is None)

    def connection(self, n=-1):
        """Connection number n; the latest by default."""
        with self._lock:
            return self.connections[n - 1 if n > 0 else n]

    def wait_connections(self, n, timeout):
        """True once n connections have come, in all."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self._lock:
                if len(self.connections) >= n:
                    return True
            time.sleep(0.02)
        with self._lock:
            return len(self.connections) >= n

    def totals(self):
        """Sums over all connections."""
        with self._lock:
            t = {"connections": len(self.connections), "commits": len(self._commits),
                 "surfaces": len(self.surfaces), "errors": list(self.errors),
                 "protocol_errors": list(self.protocol_errors)}
            for k in ("fds", "pools", "bytes_up", "bytes_down", "bytes_to_client"):
                t[k] = sum(getattr(c, k) for c in self.connections)
            return t

    # ---- the relay's thread ---------------------------------------------

    def _call(self, fn):
        """Runs fn on the relay's thread, between two polls, and waits for it."""
        if not self._thread or not self._thread.is_alive():
            raise RuntimeError("the relay is not running: " + "".join(self.errors))
        done = threading.Event()
        box = []
        self._calls.append((fn, box, done))
        self._wake_w.send(b"x")
        if not done.wait(10):
            raise RuntimeError("the relay's thread does not answer")
        if box and isinstance(box[0], BaseException):
            raise box[0]
        return box[0] if box else None

    def _run(self):
        try:
            while not self._stop:
                while self._calls:
                    fn, box, done = self._calls.popleft()
                    try:
                        box.append(fn())
                    except BaseException as e:
                        box.append(e)
                    done.set()
                if self._stop:
                    break
                self._once()
        except Exception:
            with self._lock:
                self.errors.append(traceback.format_exc())
            traceback.print_exc(file=sys.stderr)
        finally:
            for p in list(self._pairs):
                self._drop(p)
            self._listen.close()
            while self._calls:
                fn, box, done = self._calls.popleft()
                done.set()

    def _once(self):
        poll = select.poll()
        want = {self._listen.fileno(): ("listen", None), self._wake_r.fileno(): ("wake", None)}
        poll.register(self._listen, select.POLLIN)
        poll.register(self._wake_r, select.POLLIN)
        for p in self._pairs:
            ev = 0
            if not self._paused and not p.client_eof and Pair.queued(p.to_up) < HIGH_WATER:
                ev |= select.POLLIN
            if not self._paused and p.to_client:
                ev |= select.POLLOUT
            # Not watched at all when nothing is wanted: a hang-up would
            # wake every poll.
            if ev:
                poll.register(p.client, ev)
                want[p.client.fileno()] = ("client", p)
            # Always read the compositor: it must not see a stalled client.
            ev = 0 if p.upstream_eof else select.POLLIN
            if p.to_up:
                ev |= select.POLLOUT
            if ev:
                poll.register(p.upstream, ev)
                want[p.upstream.fileno()] = ("upstream", p)
        due = min((h[0] for p in self._pairs for h in p.held), default=None)
        timeout = None if due is None else max(0, math.ceil((due - time.monotonic()) * 1000))
        for fd, ev in poll.poll(timeout):
            kind, p = want[fd]
            if kind == "listen":
                self._accept()
            elif kind == "wake":
                try:
                    self._wake_r.recv(4096)
                except BlockingIOError:
                    pass
            elif p in self._pairs:
                try:
                    self._serve(kind, p, ev)
                except OSError:
                    self._drop(p)
        now = time.monotonic()
        for p in list(self._pairs):
            if any(h[0] <= now for h in p.held):
                try:
                    self._release(p, now)
                except OSError:
                    self._drop(p)
        for p in list(self._pairs):
            frames = p.down_frames
            if p.upstream_eof and not p.held and len(frames.buf) > p.down_sent and not frames.broken:
                # The start of a message that never ended goes last, as it came.
                self._pass(p, bytes(frames.buf[p.down_sent:]))
                p.down_sent = len(frames.buf)
            # One side has gone: pass on what it said, then end both.
            if (p.client_eof and not p.to_up) or (p.upstream_eof and not p.to_client and not p.held):
                self._drop(p)

    def _accept(self):
        try:
            client, _ = self._listen.accept()
        except BlockingIOError:
            return
        upstream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            upstream.connect(self.upstream)
        except OSError as e:
            with self._lock:
                self.errors.append(f"cannot connect to {self.upstream}: {e}")
            upstream.close()
            client.close()
            return
        client.setblocking(False)
        upstream.setblocking(False)
        with self._lock:
            stats = Connection(len(self.connections) + 1, time.monotonic())
            self.connections.append(stats)
        self._pairs.append(Pair(stats, client, upstream))

    def _serve(self, kind, p, ev):
        if kind == "client":
            if ev & select.POLLOUT:
                self._send(p.client, p.to_client, p.stats)
            if ev & (select.POLLIN | select.POLLHUP | select.POLLERR) and not self._paused and not p.client_eof:
                data, fds = self._recv(p.client)
                if data is None:
                    return
                if not data:
                    p.client_eof = True
                    return
                now = time.monotonic()
                with self._lock:
                    p.stats.fds += len(fds)
                    p.stats.bytes_up += len(data)
                    for msg in p.up_frames.feed(data):
                        self._request(p, now, *msg)
                    if p.up_frames.broken:
                        self._unframed(p, "requests")
                p.to_up.append([data, fds])
                self._send(p.upstream, p.to_up, None)
        else:
            if ev & select.POLLOUT:
                self._send(p.upstream, p.to_up, None)
            if ev & (select.POLLIN | select.POLLHUP | select.POLLERR) and not p.upstream_eof:
                data, fds = self._recv(p.upstream)
                if data is None:
                    return
                if not data:
                    p.upstream_eof = True
                    return
                p.down_fds += fds
                frames = p.down_frames
                if not self._holds or frames.broken:
                    with self._lock:
                        p.stats.bytes_down += len(data)
                        for msg in frames.feed(data):
                            self._event(p, *msg)
                        if frames.broken:
                            self._unframed(p, "events")
                    p.down_sent = len(frames.buf)
                    self._pass(p, data)
                else:
                    self._reframe(p, data)
                if not self._paused:
                    self._send(p.client, p.to_client, p.stats)

    def _recv(self, sock):
        try:
            data, anc, flags, _ = sock.recvmsg(65536, socket.CMSG_SPACE(MAX_FDS * 4), socket.MSG_CMSG_CLOEXEC)
        except BlockingIOError:
            return None, []
        fds = array.array("i")
        for level, typ, payload in anc:
            if level == socket.SOL_SOCKET and typ == socket.SCM_RIGHTS:
                fds.frombytes(payload[:len(payload) - len(payload) % fds.itemsize])
        if flags & socket.MSG_CTRUNC:
            with self._lock:
                self.errors.append("file descriptors were lost (MSG_CTRUNC)")
        return data, list(fds)

    def _send(self, sock, queue, stats):
        while queue:
            data, fds = queue[0][0], queue[0][1]
            # Taken before: the client cannot have a held message sooner.
            began = time.monotonic() if len(queue[0]) > 2 and queue[0][2] else None
            try:
                if fds:
                    n = sock.sendmsg([data], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", fds))],
                                     socket.MSG_NOSIGNAL)
                else:
                    n = sock.send(data, socket.MSG_NOSIGNAL)
            except BlockingIOError:
                return
            # Sent with the first byte: the relay's copies are no longer needed.
            for fd in fds:
                os.close(fd)
            queue[0][1] = []
            if stats:
                with self._lock:
                    stats.bytes_to_client += n
            if n < len(data):
                queue[0][0] = data[n:]
                return
            done = queue.popleft()
            if len(done) > 2 and done[2]:
                with self._lock:
                    done[2][4] = began

    def _drop(self, p):
        if p not in self._pairs:
            return 0
        self._pairs.remove(p)
        for q in (p.to_up, p.to_client):
            for e in q:
                for fd in e[1]:
                    os.close(fd)
            q.clear()
        for fd in p.down_fds:
            os.close(fd)
        p.down_fds = []
        p.held.clear()
        for s in (p.client, p.upstream):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
        now = time.monotonic()
        with self._lock:
            p.stats.closed = now
            for obj in p.objects.values():
                if isinstance(obj, Surface) and obj.destroyed is None:
                    obj.destroyed = now
        return 1

    def _pass(self, p, data, record=None):
        """Queues data for the client with the compositor's fds not sent yet."""
        p.to_client.append([data, p.down_fds, record])
        p.down_fds = []

    def _reframe(self, p, data):
        """The compositor's messages one by one, less those held; a partial
        one waits for the rest."""
        now = time.monotonic()
        frames = p.down_frames
        out = bytearray()
        skip = p.down_sent
        with self._lock:
            p.stats.bytes_down += len(data)
            for obj, op, args in frames.feed(data):
                # Looked up before delete_id may free the id.
                iface = self._interface(p, obj)
                delay = self._holds.get((iface, op))
                self._event(p, obj, op, args)
                raw = struct.pack("<II", obj, (8 + len(args)) << 16 | op) + args
                if skip:
                    # Its start went on before the first rule was set.
                    out += raw[skip:]
                    skip = 0
                elif delay is None:
                    out += raw
                else:
                    record = [p.n, iface, op, now, None]
                    self.held.append(record)
                    if delay != math.inf:
                        p.held.append([now + delay, raw, record])
            if frames.broken:
                self._unframed(p, "events")
        if out:
            self._pass(p, bytes(out))
        p.down_sent = skip
        if frames.broken:
            # Nothing more is cut into messages, so nothing can be slipped in
            # later: what is held goes now, then the rest as it comes.
            self._release(p, float("inf"), send=False)
            rest = bytes(frames.buf[skip:])
            frames.buf.clear()
            p.down_sent = 0
            if rest:
                self._pass(p, rest)

    def _release(self, p, now, send=True):
        """Passes on the held messages due by now."""
        keep = []
        for h in p.held:
            if h[0] <= now:
                self._pass(p, h[1], h[2])
            else:
                keep.append(h)
        p.held = keep
        if send and not self._paused:
            self._send(p.client, p.to_client, p.stats)

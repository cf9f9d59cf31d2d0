"""What the tests' Wayland relay (relay.py) knows of the wire: the
messages cut from a byte stream, the objects and surfaces a client makes,
its connections, and the requests and events it reads (WireReader, under
the relay's lock)."""
import collections
import struct

# Room for the most a sender can pass in one message (SCM_MAX_FD).
MAX_FDS = 253
# Stop reading from the client while this much waits for the compositor.
HIGH_WATER = 1 << 20
# A wl_surface.frame callback, told apart from a roundtrip's wl_callback.
FRAME = "wl_callback (frame)"


class Surface:
    """A wl_surface the client made."""

    def __init__(self, conn, oid, created):
        self.conn = conn
        self.id = oid
        self.created = created
        self.destroyed = None
        self.role = None
        self.parent = None
        self.commits = []            # times
        self.attached = False        # a buffer attached since the last commit

    def __repr__(self):
        return f"<Surface {self.conn}:{self.id} {self.role} {len(self.commits)} commits>"


class Connection:
    """One client connection, numbered from 1, and what went through it."""

    def __init__(self, n, opened):
        self.n = n
        self.opened = opened
        self.closed = None
        self.fds = 0                 # file descriptors the client sent
        self.pools = 0               # wl_shm.create_pool requests
        self.bytes_up = 0            # read from the client
        self.bytes_down = 0          # read from the compositor
        self.bytes_to_client = 0     # passed on to the client

    def __repr__(self):
        return f"<Connection {self.n} {vars(self)}>"


class Frames:
    """Cuts a byte stream into Wayland messages: (object, opcode, args)."""

    def __init__(self):
        self.buf = bytearray()
        self.broken = False

    def feed(self, data):
        if self.broken:
            return []
        self.buf += data
        out, off = [], 0
        while len(self.buf) - off >= 8:
            obj, word = struct.unpack_from("<II", self.buf, off)
            size = word >> 16
            if size < 8 or size % 4:
                self.broken = True
                break
            if len(self.buf) - off < size:
                break
            out.append((obj, word & 0xFFFF, bytes(self.buf[off + 8:off + size])))
            off += size
        del self.buf[:off]
        return out


def wire_string(args, off):
    """A wire string at off: (text, offset after it)."""
    (n,) = struct.unpack_from("<I", args, off)
    text = args[off + 4:off + 4 + max(0, n - 1)].decode("utf-8", "replace")
    return text, off + 4 + (n + 3) // 4 * 4


class Pair:
    """One client connection and the compositor connection made for it."""

    def __init__(self, stats, client, upstream):
        self.stats = stats
        self.n = stats.n
        self.client = client
        self.upstream = upstream
        self.to_up = collections.deque()       # [bytes, fds]
        self.to_client = collections.deque()   # [bytes, fds, held record or None]
        self.up_frames = Frames()             # client to compositor
        self.down_frames = Frames()
        self.objects = {}                      # id: interface name or Surface
        self.client_eof = self.upstream_eof = False
        self.held = []                         # [due, bytes, record], as read
        self.down_fds = []                     # from the compositor, not yet sent with any bytes
        self.down_sent = 0                     # leading bytes of down_frames.buf passed on already

    @staticmethod
    def queued(q):
        return sum(len(e[0]) for e in q)


class WireReader:
    """Reads each request and event for what the relay records. Needs the
    relay's surfaces, unlocks, errors, protocol_errors and _commits."""

    def _interface(self, p, obj):
        if obj == 1:
            return "wl_display"
        kind = p.objects.get(obj)
        return "wl_surface" if isinstance(kind, Surface) else kind

    def _request(self, p, now, obj, op, args):
        kind = p.objects.get(obj)
        try:
            if obj == 1 and op == 1:                                   # wl_display.get_registry
                p.objects[struct.unpack_from("<I", args)[0]] = "wl_registry"
            elif obj == 1 and op == 0:                                 # wl_display.sync
                p.objects[struct.unpack_from("<I", args)[0]] = "wl_callback"
            elif kind == "wl_registry" and op == 0:                    # bind
                (name,) = struct.unpack_from("<I", args)
                iface, off = wire_string(args, 4)
                version, new = struct.unpack_from("<II", args, off)
                p.objects[new] = iface
            elif kind == "wl_compositor" and op == 0:                  # create_surface
                s = Surface(p.n, struct.unpack_from("<I", args)[0], now)
                p.objects[s.id] = s
                self.surfaces.append(s)
            elif kind == "zwp_pointer_constraints_v1" and op in (1, 2):  # lock_pointer, confine_pointer
                p.objects[struct.unpack_from("<I", args)[0]] = \
                    "zwp_locked_pointer_v1" if op == 1 else "zwp_confined_pointer_v1"
            elif kind == "zwp_locked_pointer_v1" and op == 0:          # destroy: the client lets go
                self.unlocks.append(now)
            elif kind == "wl_shm" and op == 0:                         # create_pool
                p.stats.pools += 1
            elif kind == "xdg_wm_base" and op == 2:                    # get_xdg_surface
                s = p.objects.get(struct.unpack_from("<I", args, 4)[0])
                if isinstance(s, Surface):
                    s.role = "xdg"
            elif kind == "wl_subcompositor" and op == 1:               # get_subsurface
                _, sid, parent = struct.unpack_from("<III", args)
                s = p.objects.get(sid)
                if isinstance(s, Surface):
                    s.role = "sub"
                    s.parent = p.objects.get(parent)
            elif isinstance(kind, Surface):
                if op == 0:                                            # destroy
                    kind.destroyed = now
                elif op == 1:                                          # attach
                    kind.attached = struct.unpack_from("<I", args)[0] != 0
                elif op == 3:                                          # frame
                    p.objects[struct.unpack_from("<I", args)[0]] = FRAME
                elif op == 6:                                          # commit
                    kind.commits.append(now)
                    self._commits.append((now, kind, kind.attached))
                    kind.attached = False
        except struct.error:
            self.errors.append(f"connection {p.n}: a short request {obj}.{op}")

    def _unframed(self, p, what):
        note = f"connection {p.n}: {what} no longer read as messages; passed on uncounted"
        if note not in self.errors:
            self.errors.append(note)

    def _event(self, p, obj, op, args):
        if obj != 1:
            return
        try:
            if op == 1:                                                # wl_display.delete_id
                p.objects.pop(struct.unpack_from("<I", args)[0], None)
            elif op == 0:                                              # wl_display.error
                target, code = struct.unpack_from("<II", args)
                self.protocol_errors.append((p.n, target, code, wire_string(args, 8)[0]))
        except struct.error:
            self.errors.append(f"connection {p.n}: a short event {obj}.{op}")

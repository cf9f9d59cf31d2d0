#!/usr/bin/python3
"""The relay (relay.py) in front of a real sway, headless, with a client of
our own (committer.c) through it: its counts match what the client sent, a
pause loses nothing, a cut fails the client and not the compositor, a new
connection works after it, and an event held back reaches the client late
with nothing lost. First the relay between two sockets of this script, to
see exactly what a held event does to the stream and its fds. stress.py
puts the game through it.

Usage: relay_test.py relay COMMITTER VPOINTER
(run.sh relay COMMITTER VPOINTER runs it as an ordinary user)
"""
import array
import os
import queue
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import harness as e2e
from harness import check, log, wait_until
from relay import Relay
from sway import Sway


class Client:
    """committer, its answers read on a thread of their own."""

    def __init__(self, binary, env, log_path):
        with open(log_path, "ab") as err:
            self.proc = subprocess.Popen([binary], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=err, text=True)
        self.lines = queue.Queue()
        self.stamps = []             # when each line came
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.stamps.append(time.monotonic())
            self.lines.put(line.split())
        self.proc.stdout.close()
        self.lines.put(None)

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def answer(self, timeout):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def stop(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        if self.proc.poll() is None:
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def totals(words):
    """"ready|sent COMMITS POOLS FDS WAITS COLOUR" as a dict."""
    if not words or words[0] not in ("ready", "sent") or len(words) != 6:
        return None
    return {"commits": int(words[1]), "pools": int(words[2]), "fds": int(words[3]), "waits": int(words[4]),
            "colour": words[5]}


def matches(relay, said, conn):
    c = relay.connection(conn)
    seen = {"commits": relay.commits(conn=conn), "pools": c.pools, "fds": c.fds}
    return all(seen[k] == said[k] for k in seen), f"client said {said}, relay saw {seen}"


def pixel(comp, x, y):
    path = os.path.join(comp.work, "relay-shot.ppm")
    subprocess.run(["grim", "-t", "ppm", path], env=comp.env, check=True)
    w, h, px = e2e.read_ppm(path)
    i = (y * w + x) * 3
    return px[i:i + 3].hex()


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def message(obj, op, *words, tail=b""):
    args = struct.pack(f"<{len(words)}I", *words) + tail
    return struct.pack("<II", obj, (8 + len(args)) << 16 | op) + args


def string(text):
    raw = text.encode() + b"\0"
    return struct.pack("<I", len(raw)) + raw + b"\0" * (-len(raw) % 4)


def memfd(text):
    fd = os.memfd_create(text)
    os.write(fd, text.encode())
    return fd


class Wire:
    """A client socket of our own, read message by message on a thread:
    got holds (time, message, fds that came while reading it); after a
    header that is no message, the rest goes to raw."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.got = []
        self.raw = bytearray()
        self.bytes = 0
        self.eof = False
        threading.Thread(target=self._read, daemon=True).start()

    def _take(self, n, fds):
        buf = b""
        while len(buf) < n:
            data, anc, _, _ = self.sock.recvmsg(n - len(buf), socket.CMSG_SPACE(16 * 4))
            if not data:
                return None
            for level, typ, payload in anc:
                if level == socket.SOL_SOCKET and typ == socket.SCM_RIGHTS:
                    fds.extend(array.array("i", payload[:len(payload) - len(payload) % 4]))
            buf += data
            self.bytes += len(data)
        return buf

    def _read(self):
        try:
            while True:
                fds = []
                head = self._take(8, fds)
                if head is None:
                    break
                size = struct.unpack_from("<I", head, 4)[0] >> 16
                if size < 8 or size % 4:
                    self.raw += head
                    while data := self.sock.recv(4096):
                        self.raw += data
                    break
                body = self._take(size - 8, fds)
                if body is None:
                    break
                self.got.append((time.monotonic(), head + body, fds))
        except OSError:
            pass
        self.eof = True

    def send(self, data):
        self.sock.sendall(data)

    def messages(self, since=0):
        return [m for _, m, _ in self.got[since:]]


def recv_exactly(sock, n):
    buf = b""
    while len(buf) < n:
        data = sock.recv(n - len(buf))
        if not data:
            break
        buf += data
    return buf


def send_fd(sock, data, fd):
    sock.sendmsg([data], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])
    os.close(fd)


class WireSide:
    """The relay between a fake compositor and a client, both sockets of
    this script: what each part of wire_part works on."""
    HOLD = 0.5

    def __init__(self, work):
        self.fake = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.fake.bind(os.path.join(work, "fake-0"))
        self.fake.listen(1)
        self.fake.settimeout(5)
        self.relay = Relay(work, "fake-0", "wire-relay").start()
        self.fds_before = open_fds()

    def connect(self):
        """A client through the relay, and the compositor's end of it."""
        cl = Wire(self.relay.path)
        up, _ = self.fake.accept()
        up.settimeout(5)
        return cl, up

    def stamped(self):
        # A stamp is written once its send returns, maybe after the client read.
        return wait_until(lambda: all(h[4] is not None for h in self.relay.held), 1)

    def close(self):
        self.relay.close()
        self.fake.close()


def wire_part(work):
    """The relay between a compositor and a client that are both sockets of
    this script, each byte and fd known."""
    w = WireSide(work)
    try:
        cl, up = w.connect()
        held_in_order(w, cl, up)
        fd_waits_for_passed_bytes(w, cl, up)
        id_made_again(w, cl, up)
        paused_then_resumed(w, cl, up)
        broken_header(w, cl, up)
        hang_up(w, cl)
    finally:
        w.close()


def held_in_order(w, cl, up):
    """Held events last, in the order read, each on its delay; the fd with
    the first bytes passed."""
    relay, HOLD, stamped = w.relay, w.HOLD, w.stamped
    up.settimeout(5)
    # A registry (2), callbacks 3 to 7, pointer constraints (20), a lock
    # (21) and a confinement (22) of surface 30 for pointer 31.
    asked = (message(1, 1, 2) + b"".join(message(1, 0, n) for n in range(3, 8)) +
             message(2, 0, 9, tail=string("zwp_pointer_constraints_v1") + struct.pack("<II", 1, 20)) +
             message(20, 1, 21, 30, 31, 0, 2) + message(20, 2, 22, 30, 31, 0, 2))
    cl.send(asked)
    check("the requests reach the compositor", recv_exactly(up, len(asked)) == asked)

    # A message begun before the first rule: its start has gone on.
    x = message(7, 2, 1, 2, 3)
    up.send(x[:6])
    check("bytes go on before any rule", wait_until(lambda: cl.bytes == 6, 2), str(cl.bytes))
    relay.hold_event("wl_callback", 0, seconds=HOLD)
    relay.hold_event("zwp_locked_pointer_v1", 0, seconds=HOLD)
    relay.hold_event("zwp_confined_pointer_v1", 0, seconds=HOLD)

    # Held: done of 3 and of 4 (which comes in two pieces), locked,
    # confined; passed at once: the rest, unlocked too, and the delete_id
    # of 3 that follows its done. The fd comes with the first bytes.
    a, b, e = message(8, 0, 42), message(9, 1, tail=string("between")), message(10, 3, 5)
    done3, done4, locked, unlocked, confined = (message(3, 0, 1000), message(4, 0, 1001), message(21, 0),
                                                message(21, 1), message(22, 0))
    delete3 = message(1, 1, 3)
    sent = time.monotonic()
    send_fd(up, x[6:] + a + done3 + locked + b + done4[:5], memfd("one"))
    time.sleep(0.1)
    up.send(done4[5:] + delete3 + unlocked + confined + e)
    check("ten messages reach the client", wait_until(lambda: len(cl.got) >= 10, 3) and stamped(),
          str(cl.messages()))
    check("the held ones last, in the order read; the rest as sent",
          cl.messages() == [x, a, b, delete3, unlocked, e, done3, locked, done4, confined], str(cl.messages()))
    # The fd came with the first bytes passed after it was read.
    fds = [f for _, _, f in cl.got]
    check("the fd came with the first message passed after it",
          len(fds[0]) == 1 and not any(fds[1:]) and os.pread(fds[0][0], 8, 0) == b"one", str(fds))
    with relay._lock:
        held = [list(h) for h in relay.held]
    check("four held, by interface and opcode",
          [h[:3] for h in held] == [[1, "wl_callback", 0], [1, "zwp_locked_pointer_v1", 0],
                                    [1, "wl_callback", 0], [1, "zwp_confined_pointer_v1", 0]], str(held))
    check("each passed on its delay after it was read",
          all(h[4] is not None and HOLD <= h[4] - h[3] < HOLD + 1 for h in held), str(held))
    came = {m: t for t, m, _ in cl.got}
    check("and the client got it then, not before",
          came[done3] - sent >= HOLD and
          all(0 <= came[m] - h[4] < 0.25 for m, h in zip((done3, locked, done4, confined), held)),
          f"sent {sent:.3f}, came {[round(came[m], 3) for m in (done3, locked, done4, confined)]} {held}")


def fd_waits_for_passed_bytes(w, cl, up):
    # Read with an fd, a chunk whose one whole message is held: the fd
    # waits for the next bytes passed, the rest of the next message.
    done5, f = message(5, 0, 1002), message(11, 0, 7, 8)
    n = len(cl.got)
    send_fd(up, done5 + f[:4], memfd("two"))
    time.sleep(0.1)
    up.send(f[4:])
    check("both messages come, the held one last",
          wait_until(lambda: cl.messages(n) == [f, done5], 3), str(cl.messages(n)))
    fds = [fd for _, _, fd in cl.got[n:]]
    check("the fd came with the message passed, not the held one",
          len(fds) == 2 and len(fds[0]) == 1 and not fds[1] and os.pread(fds[0][0], 8, 0) == b"two", str(fds))


def id_made_again(w, cl, up):
    relay = w.relay
    # The lock's id, freed, then made again by an object the relay does
    # not know: its opcode 0 is no `locked` any more.
    cl.send(message(21, 0))
    recv_exactly(up, 8)
    n = len(cl.got)
    up.send(message(1, 1, 21))
    check("delete_id is passed", wait_until(lambda: cl.messages(n) == [message(1, 1, 21)], 2))
    cl.send(message(40, 1, 21))
    recv_exactly(up, 12)
    other = message(21, 0, 5)
    count = len(relay.held)
    up.send(other)
    check("an event of the id made again is not held",
          wait_until(lambda: len(cl.got) > n + 1, 2) and cl.messages(n + 1) == [other] and
          len(relay.held) == count, f"{cl.messages(n + 1)} {relay.held[count:]}")


def paused_then_resumed(w, cl, up):
    relay, HOLD, stamped = w.relay, w.HOLD, w.stamped
    # Paused: a held event due meanwhile waits for resume().
    n = len(cl.got)
    relay.pause()
    done6 = message(6, 0, 1003)
    up.send(done6)
    time.sleep(HOLD + 0.3)
    check("held and due while paused: not passed", len(cl.got) == n and relay.held[-1][4] is None,
          f"{cl.messages(n)} {relay.held[-1]}")
    relay.resume()
    resumed = relay.pauses[-1][1]
    check("passed after resume",
          wait_until(lambda: cl.messages(n) == [done6], 2) and stamped() and relay.held[-1][4] >= resumed,
          f"{cl.messages(n)} {relay.held[-1]} resumed {resumed:.3f}")
    check("all the compositor said reached the client",
          wait_until(lambda: relay.connection(1).bytes_to_client == relay.connection(1).bytes_down, 2),
          str(relay.connection(1)))


def broken_header(w, cl, up):
    relay, HOLD, stamped = w.relay, w.HOLD, w.stamped
    # A header that is no message: what is held goes at once, then the
    # bytes as they come.
    n = len(cl.got)
    done7 = message(7, 0, 1004)
    up.send(done7)
    time.sleep(0.1)
    junk = struct.pack("<II", 12, 5 << 16) + b"junk"
    up.send(junk)
    up.send(b"more")
    check("after a broken header the held event goes on at once, then the raw bytes",
          wait_until(lambda: bytes(cl.raw) == junk + b"more", 2) and cl.messages(n) == [done7] and
          stamped() and relay.held[-1][4] - relay.held[-1][3] < HOLD,
          f"{cl.messages(n)} {bytes(cl.raw)} {relay.held[-1]}")
    check("and the relay says so", any("events no longer read as messages" in e for e in relay.errors),
          str(relay.errors))
    check("seven events held in all", len(relay.held) == 7, str(relay.held))
    up.close()
    check("the compositor gone, the client sees the end", wait_until(lambda: cl.eof, 2))


def hang_up(w, cl):
    relay, HOLD, fake = w.relay, w.HOLD, w.fake
    # The compositor hangs up on a done held and a message begun: the
    # client gets the done in its time, then that start, then the end.
    cl2 = Wire(relay.path)
    up2, _ = fake.accept()
    cl2.send(message(1, 0, 3))
    recv_exactly(up2, 12)
    done3, begun = message(3, 0, 1005), message(9, 0, 1, 2)[:10]
    sent = time.monotonic()
    up2.send(done3 + begun)
    up2.close()
    check("after a hang-up the held done still comes, then what was begun, then the end",
          wait_until(lambda: cl2.eof, HOLD + 2) and cl2.messages() == [done3] and cl2.bytes == 22 and
          cl2.got[0][0] - sent >= HOLD, f"{cl2.messages()} {cl2.bytes} bytes, eof {cl2.eof}")
    for _, _, got in cl.got:
        for fd in got:
            os.close(fd)
    cl.sock.close()
    cl2.sock.close()
    check("the relay lets go of both connections and every fd passed",
          wait_until(lambda: relay.open_connections() == 0 and open_fds() == w.fds_before, 5),
          f"{relay.open_connections()} open, fds {w.fds_before} before, {open_fds()} now")


def counted_part(comp, relay, c, logs):
    # (a) The counts are what the client sent; its last buffer is on screen.
    said = totals(c.answer(10))
    if not check("the client maps its window through the relay", said is not None, open(logs).read()):
        return None
    check("counts after start-up match", *matches(relay, said, 1))
    c.send("commit 300 10")
    said = totals(c.answer(20))
    if not check("300 commits go through", said is not None):
        return None
    check("counts after 300 commits match", *matches(relay, said, 1))
    check("all of them on the one window", relay.commits(role="xdg", conn=1) == said["commits"],
          str(relay.surfaces))
    # The first commit, before the configure, has no buffer.
    check("all but the first with a buffer", relay.commits(conn=1, with_buffer=True) == said["commits"] - 1)
    # sway centres a surface smaller than its tile.
    on_screen = wait_until(lambda: pixel(comp, 512, 384) == said["colour"], 2)
    check("the last buffer's colour is on the screen (its fd came through)", on_screen,
          f"{pixel(comp, 512, 384)} {said['colour']}")

    # A destroyed surface's id, given to an object whose request has commit's
    # opcode, is no surface any more once the compositor has deleted it.
    c.send("reuse")
    words = c.answer(10)
    check("the client reuses a destroyed surface's id", words and words[0] == "reused" and words[1] != "0",
          str(words))
    said["commits"] += 1
    check("counts after the reuse match", *matches(relay, said, 1))
    check("two surfaces seen, the second committed once",
          [len(s.commits) for s in relay.surfaces] == [said["commits"] - 1, 1], str(relay.surfaces))
    return said


def paused_part(comp, relay, c, said):
    # (b) Paused for a second while the client writes far more than a socket
    # holds, and while the compositor has something to tell it.
    before = said
    relay.pause()
    paused = time.monotonic()
    down, delivered = relay.connection(1).bytes_down, relay.connection(1).bytes_to_client
    c.send("commit 20000 1000")
    comp.msg("[title=committer]", "fullscreen", "enable")     # a configure for the client
    time.sleep(1.0)
    check("nothing read from the client while paused", relay.commits_between(paused, time.monotonic()) == 0)
    check("the compositor's events are held, not passed on",
          relay.connection(1).bytes_down > down and relay.connection(1).bytes_to_client == delivered,
          f"read {relay.connection(1).bytes_down - down}, delivered {relay.connection(1).bytes_to_client - delivered}")
    check("the client is still writing (its socket is full)", c.lines.empty() and c.proc.poll() is None)
    relay.resume()
    said = totals(c.answer(30))
    if not check("after resume the client goes on to the end", said is not None):
        return None
    log("resumed after", f"{relay.pauses[-1][1] - relay.pauses[-1][0]:.2f} s;",
        "client waited for the socket", said["waits"] - before["waits"], "times")
    check("the client had to wait for its socket", said["waits"] > before["waits"])
    check("counts after the pause match: nothing lost", *matches(relay, said, 1))
    check("and all the compositor said reached the client",
          wait_until(lambda: relay.connection(1).bytes_to_client == relay.connection(1).bytes_down, 2),
          str(relay.connection(1)))
    check("no protocol error", not relay.protocol_errors, str(relay.protocol_errors))
    return said


def cut_part(comp, relay, committer, c, env, logs):
    # (c) Cut: the client sees its connection fail, the compositor stays up,
    # and a new connection through the relay works.
    cut_at = time.monotonic()
    check("cut closes one connection", relay.cut() == 1)
    words = c.answer(5)
    check("the client sees its connection fail", words and words[0] == "failed" and words[1] != "0", str(words))
    check("and exits for it", wait_until(lambda: c.proc.poll() == 3, 5), str(c.proc.poll()))
    log("the client's error:", words, f"{time.monotonic() - cut_at:.2f} s after the cut;", "it wrote:",
        open(logs).read().strip() or "nothing")
    c.stop()
    check("sway stays up", comp.procs[0].poll() is None and "sway" in comp.msg("-t", "get_version"))
    c2 = Client(committer, env, logs)
    said = totals(c2.answer(10))
    if check("a new client connects through the relay", said is not None):
        c2.send("commit 50 7")
        said = totals(c2.answer(20))
        check("and its counts match", said is not None and matches(relay, said, 2)[0],
              said and matches(relay, said, 2)[1])
    check("two connections in all", relay.totals()["connections"] == 2, str(relay.totals()))
    if said is not None:
        hold_part(comp, relay, committer, c2, env, logs)
    c2.stop()


def client_part(comp, relay, committer):
    fds_before = open_fds()
    env = dict(comp.env, WAYLAND_DISPLAY=relay.name)
    logs = os.path.join(comp.work, "committer.log")
    c = Client(committer, env, logs)
    said = counted_part(comp, relay, c, logs)
    if said is None or paused_part(comp, relay, c, said) is None:
        return
    cut_part(comp, relay, committer, c, env, logs)
    check("the relay lets go of every connection and of every fd passed",
          wait_until(lambda: relay.open_connections() == 0 and open_fds() == fds_before, 5),
          f"{relay.open_connections()} open, fds {fds_before} before, {open_fds()} now")
    check("the relay itself saw nothing wrong", not relay.errors, str(relay.errors))


def hold_part(comp, relay, committer, c2, env, logs):
    """(d) wl_callback.done held back a while: the client's roundtrips end
    that much later, and all else still reaches it."""
    hold = 0.3
    conn = relay.connection(2)

    def held(n):
        with relay._lock:
            return [list(h) for h in relay.held if h[0] == n]

    def stamped(n):
        # A stamp is written once its send returns: the client may answer first.
        return wait_until(lambda: all(h[4] is not None for h in held(n)), 1)

    def sums():
        with relay._lock:
            return conn.bytes_down, conn.bytes_to_client

    relay.hold_event("wl_callback", 0, seconds=hold)
    before = sums()[1]
    asked = time.monotonic()
    c2.send("roundtrip")
    # sway's delete_id of the callback, sent after its done, goes on first.
    wait_until(lambda: held(2) and sums()[1] - before >= 12, hold / 2)
    down, to_client = sums()
    check("while its done is held, what came after it reaches the client",
          len(held(2)) == 1 and held(2)[0][4] is None and down - to_client == 12 and to_client - before >= 12,
          f"{held(2)} read {down}, passed {to_client}, {before} before")
    words = c2.answer(hold + 5)
    got = c2.stamps[-1] if c2.stamps else 0
    stamped(2)
    record = held(2)[-1] if held(2) else None
    check("the roundtrip ends that much late", words == ["ok"] and got - asked >= hold,
          f"{words} after {got - asked:.2f} s")
    check("the relay says when it passed the done on",
          record is not None and record[1:3] == ["wl_callback", 0] and record[4] is not None and
          record[4] - record[3] >= hold and asked <= record[3] and record[4] <= got,
          f"{record} asked {asked:.3f}, answered {got:.3f}")
    check("and that all the compositor said reached the client",
          wait_until(lambda: sums()[0] == sums()[1], 2), str(conn))

    c2.send("commit 300 10")
    said = totals(c2.answer(hold + 20))
    if not check("300 commits go through with the rule", said is not None):
        return
    check("their counts match", *matches(relay, said, 2))
    check("its roundtrip's done held too", len(held(2)) == 2 and stamped(2), str(held(2)))
    on_screen = wait_until(lambda: pixel(comp, 512, 384) == said["colour"], 2)
    check("the last buffer's colour is on the screen", on_screen, f"{pixel(comp, 512, 384)} {said['colour']}")
    check("all the compositor said reached the client again", wait_until(lambda: sums()[0] == sums()[1], 2),
          str(conn))

    # A client that comes now: every event it gets is cut and passed anew.
    opened = time.monotonic()
    c3 = Client(committer, env, logs)
    said = totals(c3.answer(10 + 2 * hold))
    if check("a client started now comes up, its two roundtrips late",
             said is not None and c3.stamps[0] - opened >= 2 * hold,
             f"{said} after {(c3.stamps or [opened])[0] - opened:.2f} s"):
        check("its counts match", *matches(relay, said, 3))
        check("both its dones were held their while",
              [h[1:3] for h in held(3)] == [["wl_callback", 0]] * 2 and stamped(3) and
              all(h[4] is not None and h[4] - h[3] >= hold for h in held(3)), str(held(3)))
        check("and all the compositor said reached it",
              wait_until(lambda: relay.connection(3).bytes_to_client == relay.connection(3).bytes_down, 2),
              str(relay.connection(3)))
    c3.stop()
    check("no protocol error with the rule", not relay.protocol_errors, str(relay.protocol_errors))


def main():
    committer, vpointer = sys.argv[2:4]
    work = tempfile.mkdtemp(prefix="skorrel-relay-")
    comp = Sway(work, None, vpointer, (1024, 768), 1.0, 1)
    relay = None
    try:
        wire_part(work)
        comp.start()
        relay = Relay(comp.runtime, comp.env["WAYLAND_DISPLAY"], "skorrel-relay").start()
        client_part(comp, relay, committer)
    except Exception as e:  # a broken session is a failure, not a crash
        check("the session runs", False, repr(e))
    finally:
        if relay:
            relay.close()
        comp.stop()
        if e2e.failures:
            for name in sorted(os.listdir(work)):
                if name.endswith(".log"):
                    sys.stderr.write(f"--- {name}\n" + open(os.path.join(work, name), errors="replace").read()[-3000:])
        if not os.environ.get("SKORREL_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
    if e2e.failures:
        print(f"{e2e.failures} check(s) failed", file=sys.stderr)
        return 1
    log("all checks passed")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    sys.exit(main())

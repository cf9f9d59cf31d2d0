#!/usr/bin/python3
"""The relay (relay.py) in front of a real sway, headless, with a client of
our own (committer.c) through it: its counts match what the client sent, a
pause loses nothing, a cut fails the client and not the compositor, and a
new connection works after it. stress.py puts the game through it.

Usage: relay_test.py relay COMMITTER VPOINTER
(run.sh relay COMMITTER VPOINTER runs it as an ordinary user)
"""
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import e2e
from e2e import check, log, wait_until
from relay import Relay


class Client:
    """committer, its answers read on a thread of their own."""

    def __init__(self, binary, env, log_path):
        with open(log_path, "ab") as err:
            self.proc = subprocess.Popen([binary], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=err, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
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


def client_part(comp, relay, committer):
    fds_before = open_fds()
    env = dict(comp.env, WAYLAND_DISPLAY=relay.name)
    logs = os.path.join(comp.work, "committer.log")

    # (a) The counts are what the client sent; its last buffer is on screen.
    c = Client(committer, env, logs)
    said = totals(c.answer(10))
    if not check("the client maps its window through the relay", said is not None, open(logs).read()):
        return
    check("counts after start-up match", *matches(relay, said, 1))
    c.send("commit 300 10")
    said = totals(c.answer(20))
    if not check("300 commits go through", said is not None):
        return
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
        return
    log("resumed after", f"{relay.pauses[-1][1] - relay.pauses[-1][0]:.2f} s;",
        "client waited for the socket", said["waits"] - before["waits"], "times")
    check("the client had to wait for its socket", said["waits"] > before["waits"])
    check("counts after the pause match: nothing lost", *matches(relay, said, 1))
    check("and all the compositor said reached the client",
          wait_until(lambda: relay.connection(1).bytes_to_client == relay.connection(1).bytes_down, 2),
          str(relay.connection(1)))
    check("no protocol error", not relay.protocol_errors, str(relay.protocol_errors))

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
    c2.stop()
    check("the relay lets go of both connections and of every fd passed",
          wait_until(lambda: relay.open_connections() == 0 and open_fds() == fds_before, 5),
          f"{relay.open_connections()} open, fds {fds_before} before, {open_fds()} now")
    check("the relay itself saw nothing wrong", not relay.errors, str(relay.errors))


def main():
    committer, vpointer = sys.argv[2:4]
    work = tempfile.mkdtemp(prefix="skorrel-relay-")
    comp = e2e.Sway(work, None, vpointer, (1024, 768), 1.0, 1)
    relay = None
    try:
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

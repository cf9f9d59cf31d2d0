#!/usr/bin/python3
"""The game's and the compositor's CPU during a count-in and a race, and
how often the client commits its surfaces, in a real compositor; beside
it the same rounds played by the floor client (wayland_floor.c), the least
a client can do to show the same. Both connect through the tests' relay,
which counts the commits. Built on the Wayland tests' harness.

Usage (through tests/wayland/run.sh, as an ordinary user):
    wayland_cpu.py GAME PROBE VPOINTER --compositor=sway|mutter [--size=WxH]
        [--scale=S] [--rounds=N] [--floor=FLOOR [--variants]]

After a quick first race (unmeasured: it sets a best time no later round
beats, so no round shows a box), each round, by the game and then by the
floor client: the count-in from the press to just before go! (the
player's pointer still), 3 s of the race with the pointer moving 100
times a second, 2 s with it still, the four edges; then the whole round,
from the press until the compositor has drawn all it put off. --variants: the floor client's
count-ins alone, each taking one thing away, and once after the pointer
has moved.

A compositor that draws in software (llvmpipe, here) draws a frame only
when something needs its pixels. On a headless output nothing does until
a surface on the screen gets a new buffer; then it draws every frame it
has put off at once (seconds of CPU after a race with the pointer
moving). A count-in's first new picture is such a buffer, so the count-in
would pay for the race before it. Before each press the floor client's
small window is drawn anew, and the compositor left to draw what it put
off ("settling", not part of any stretch). The count-in then holds what
it costs, whenever the compositor draws it; it starts at the press, as
showing the covering surface is most of it.

CPU is the time the processes ran (schedstat, all threads) over the wall
time of each stretch.
"""
import os
import subprocess
import time

import harness
from game import BEST_TITLE, TITLE, Game, dismiss_any
from harness import wait_until
from scenarios import play, wait_go

VARIANTS = ["", "--no-lock", "--no-hide", "--no-updates", "--no-viewport", "--no-scale", "--keep", "after moving"]


def cpu_seconds(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total / 1e9


def nudge(comp, dx):
    """One small relative motion, without waiting for it."""
    if comp.name == "mutter":
        comp.session.NotifyPointerMotionRelative(comp.dbus.Double(dx / comp.ux), comp.dbus.Double(0))
    else:
        comp.send(f"rel {dx / comp.ux} 0")


def wiggle(comp, seconds=3):
    for i in range(int(seconds * 100)):
        nudge(comp, 5 if i % 40 < 20 else -5)
        time.sleep(0.01)


def compositor_pid(comp):
    # The compositor itself, not what it needs beside it (PipeWire).
    return next(p for p in comp.procs if os.path.basename(p.args[0]).startswith(comp.name)).pid


class Stretch:
    def __init__(self, comp, client, relay, conn):
        self.pids = {"client": client, "compositor": compositor_pid(comp)}
        self.relay, self.conn = relay, conn
        self.t0 = time.monotonic()
        self.c0 = {k: cpu_seconds(p) for k, p in self.pids.items()}

    def end(self):
        t1 = time.monotonic()
        wall = t1 - self.t0
        out = {k: 100 * (cpu_seconds(p) - self.c0[k]) / wall for k, p in self.pids.items()}
        out["commits/s"] = self.relay.rate(self.t0, t1, conn=self.conn)
        return out


def settle(comp, flusher, quiet=2.0, most=8.0):
    """Until the compositor has drawn what it put off (flusher: a floor
    client, which draws its small window anew) and then spent less than
    quiet % of a core over 0.3 s. Returns the CPU seconds it took."""
    pid = compositor_pid(comp)
    c0 = cpu_seconds(pid)
    if flusher:
        flusher.say("flush")
        flusher.expect("flushed", "the floor client did not flush")
    end = time.monotonic() + most
    while time.monotonic() < end:
        c, t = cpu_seconds(pid), time.monotonic()
        time.sleep(0.3)
        if 100 * (cpu_seconds(pid) - c) / (time.monotonic() - t) < quiet:
            break
    return cpu_seconds(pid) - c0


class Floor:
    def __init__(self, comp, binary, display, args):
        env = dict(comp.env, WAYLAND_DISPLAY=display)
        self.proc = subprocess.Popen([binary, *args], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        comp.procs.append(self.proc)
        self.expect("ready", "the floor client did not start")
        self.conn = None

    def expect(self, word, why):
        if self.proc.stdout.readline().strip() != word:
            raise RuntimeError(why)

    def say(self, word):
        self.proc.stdin.write(word + "\n")
        self.proc.stdin.flush()

    def start(self):
        self.say("count")
        return time.monotonic()

    def end(self):
        self.say("end")
        self.expect("ended", "the floor client did not end its count-in")

    def finish(self):
        """After a race: go! has come, the covering surface goes."""
        self.expect("counted", "the floor client's count-in broke")
        self.end()
        return True

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(5)


def row(n, what, r, settled=None, through=None):
    cols = [f"{n:>5} {what:<22} {r['client']:>6.1f} {r['compositor']:>10.1f} {r['commits/s']:>9.1f}"]
    cols += ["" if v is None else f"{v:.2f}" for v in (settled, through)]
    print(f"{cols[0]} {cols[1]:>8} {cols[2]:>8}".rstrip(), flush=True)


def header(comp, what):
    print(f"{comp.name} {comp.size[0]}x{comp.size[1]} at {comp.scale:g}x: {what}")
    print(f"{'round':>5} {'stretch':<22} {'client':>6} {'compositor':>10} {'commits/s':>9} {'settling':>8} "
          f"{'through':>8}")


def count_in(comp, relay, pid, conn, start):
    """From the press (start() presses and returns when) to just before
    go!: when it was pressed, and the stretch."""
    s = Stretch(comp, pid, relay, conn)
    pressed = start()
    wait_until(lambda: time.monotonic() - pressed > 3.4, 4)
    return pressed, s.end()


def race_round(comp, relay, game, flusher, n, who, pid, conn, start, end, quiet=False):
    """One round as the player plays it, by the game or the floor client:
    the press, the count-in, 3 s of the pointer moving, 2 s of it still,
    the four edges. start() presses and returns when; end() after the
    edges. Prints the rows of its stretches; quiet: a quick race of the
    four edges alone, and no rows."""
    out = (lambda *a: None) if quiet else row
    comp.reach(*game.button())
    settled = settle(comp, flusher)
    whole = Stretch(comp, pid, relay, conn)
    pressed, counted = count_in(comp, relay, pid, conn, start)
    out(n, f"{who} count-in", counted, settled)
    wait_go(comp, pressed)
    if not quiet:
        s = Stretch(comp, pid, relay, conn)
        wiggle(comp)
        out(n, f"{who} race, moving", s.end())
        s = Stretch(comp, pid, relay, conn)
        time.sleep(2)
        out(n, f"{who} race, still", s.end())
    comp.rel(-10 * comp.screen.w, 0)    # the left edge, wherever the moves left it
    comp.at = (0, comp.screen.held[1])
    play(comp, "sweep")
    ended = end()
    time.sleep(0.5)         # mutter's animation of the covering surface going
    settle(comp, flusher)   # what the round put off is the round's
    out(n, f"{who} whole round", whole.end())
    return ended


def game_round(comp, relay, game, flusher, n, quiet=False):
    def press():
        comp.press(TITLE)   # the pointer is on the button
        return time.monotonic()

    def recorded():
        dismiss_any(comp, (BEST_TITLE,), 2)
        return harness.check("the round's race ends", wait_until(lambda: len(game.lines()) > records, 3),
                             game.output())
    records = len(game.lines())
    return race_round(comp, relay, game, flusher, n, "game", game.proc.pid, game.conn, press, recorded,
                      quiet)


def floor_round(comp, relay, game, floor, n, quiet=False):
    return race_round(comp, relay, game, floor, n, "floor", floor.proc.pid, floor.conn, floor.start, floor.finish,
                      quiet)


def variant_round(comp, relay, game, floor, n, what, moved):
    """The floor client's count-in alone; through: the compositor's CPU
    seconds from the press until it has drawn all it put off after it."""
    comp.reach(*game.button())
    if moved:
        wiggle(comp)
        settled = None
    else:
        settled = settle(comp, floor)
    pid = compositor_pid(comp)
    c0 = cpu_seconds(pid)
    _, counted = count_in(comp, relay, floor.proc.pid, floor.conn, floor.start)
    floor.expect("counted", "the floor client's count-in broke")
    time.sleep(0.5)
    floor.end()
    time.sleep(0.5)
    settle(comp, floor)
    row(n, what, counted, settled, cpu_seconds(pid) - c0)


def cpu(comp, o):
    with harness.relayed(comp, checked=False) as relay:
        # The floor client first: its small window shows before the game's.
        floor = Floor(comp, o.floor, relay.name, []) if o.floor else None
        if floor:
            floor.conn = relay.connection().n
            settle(comp, floor)
        if not (game := Game.open(comp, o.game, display=relay.name)):
            return
        game.conn = relay.connection().n
        # A quick first race sets a best time no later round beats: no
        # round shows the new best's box, which the floor client lacks.
        if not game_round(comp, relay, game, floor, 0, quiet=True):
            return
        if floor:
            floor_round(comp, relay, game, floor, 0, quiet=True)
        header(comp, "CPU in % of one core over each stretch; the client's commits a second; settling: the "
                     "compositor's CPU seconds drawing what it put off before the press")
        for n in range(1, o.rounds + 1):
            if not game_round(comp, relay, game, floor, n):
                break
            if floor:
                floor_round(comp, relay, game, floor, n)
        if floor:
            floor.close()
        if not (o.variants and o.floor):
            return
        header(comp, "the floor client's count-ins alone, one thing taken away at a time; through: the "
                     "compositor's CPU seconds from the press until it has drawn all it put off after it")
        for v in VARIANTS:
            floor = Floor(comp, o.floor, relay.name, [v] if v.startswith("--") else [])
            floor.conn = relay.connection().n
            for n in range(1, o.rounds + 1):
                variant_round(comp, relay, game, floor, n, v or "nothing", moved=v == "after moving")
            floor.close()


def options(p):
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--floor", help="the floor client (wayland_floor)")
    p.add_argument("--variants", action="store_true", help="the floor client with one thing taken away at a time")


if __name__ == "__main__":
    harness.main({"cpu": cpu}, more=options)

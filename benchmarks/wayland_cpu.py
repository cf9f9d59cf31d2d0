#!/usr/bin/python3
"""The game's and the compositor's CPU during a count-in and a race, and
how often the game commits its covering surface, in a real compositor at
1920x1080. The game's Wayland connection goes through the tests' relay,
which counts the commits. Built on the Wayland tests' harness.

Usage (through tests/wayland/run.sh, as an ordinary user):
    wayland_cpu.py GAME PROBE VPOINTER --compositor=sway|mutter [--size=WxH] [--rounds=N]

Each round: a count-in (the player's pointer still), then 3 s of a race
with the pointer moving 100 times a second, then 2 s with it still, then
the four edges. CPU is the time the processes ran (schedstat, all threads)
over the wall time of each stretch.
"""
import os
import time

import harness
from game import BEST_TITLE, Game, dismiss_any
from harness import wait_until
from scenarios import play, wait_go


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


class Stretch:
    def __init__(self, comp, game, relay):
        # The compositor itself, not what it needs beside it (PipeWire).
        main = next(p for p in comp.procs if os.path.basename(p.args[0]).startswith(comp.name))
        self.pids = {"game": game.proc.pid, "compositor": main.pid}
        self.relay = relay
        self.t0 = time.monotonic()
        self.c0 = {k: cpu_seconds(p) for k, p in self.pids.items()}

    def end(self):
        t1 = time.monotonic()
        wall = t1 - self.t0
        out = {k: 100 * (cpu_seconds(p) - self.c0[k]) / wall for k, p in self.pids.items()}
        out["commits/s"] = self.relay.rate(self.t0, t1, conn=self.relay.connection().n)
        return out


def cpu(comp, o):
    with harness.relayed(comp, checked=False) as relay:
        if not (game := Game.open(comp, o.game, display=relay.name)):
            return
        print(f"{comp.name} {comp.size[0]}x{comp.size[1]}: CPU in % of one core; commits of the game's surfaces")
        print(f"{'round':>5} {'stretch':<18} {'game':>6} {'compositor':>10} {'commits/s':>9}")
        for n in range(1, o.rounds + 1):
            time.sleep(1)
            pressed = game.press_start()
            wait_until(lambda: time.monotonic() - pressed > 0.8, 2)
            s = Stretch(comp, game, relay)
            wait_until(lambda: time.monotonic() - pressed > 3.4, 4)
            rows = [("count-in", s.end())]
            wait_go(comp, pressed)
            s = Stretch(comp, game, relay)
            for i in range(300):
                nudge(comp, 5 if i % 40 < 20 else -5)
                time.sleep(0.01)
            rows.append(("race, moving", s.end()))
            s = Stretch(comp, game, relay)
            time.sleep(2)
            rows.append(("race, still", s.end()))
            for what, r in rows:
                print(f"{n:>5} {what:<18} {r['game']:>6.1f} {r['compositor']:>10.1f} {r['commits/s']:>9.1f}")
            records = len(game.lines())
            comp.rel(-10 * comp.screen.w, 0)    # the left edge, wherever the moves left it
            comp.at = (0, comp.screen.held[1])
            play(comp, "sweep")
            dismiss_any(comp, (BEST_TITLE,), 2)
            if not wait_until(lambda: len(game.lines()) > records, 3):
                harness.check("the round's race ends", False, game.output())
                break


if __name__ == "__main__":
    harness.main({"cpu": cpu}, more=lambda p: p.add_argument("--rounds", type=int, default=3))

#!/usr/bin/python3
"""A pointer lock that the game hears of late: a relay of ours (relay.py)
between the game and the compositor holds the compositor's `locked` back
for two seconds, as a compositor that grants a lock only after a click on
the surface, or seconds on, would send it.

Usage: late_lock.py late-sway GAME PROBE VPOINTER [--size=WxH]

1. Until the game hears of the lock, one arrow shows: the compositor's
   pointer, where it is, not a picture at the held point.
2. From then until go!: held, and shown at the held point, one arrow.
3. After go!: let go at the held point; the race plays to its end and is
   recorded, and the game does not say the lock never came.
"""
import signal
import sys
import tempfile
import time

import e2e
from e2e import check, log, wait_until
from relay import Relay

HOLD_BACK = 2.0


def play(comp, game_bin, kind, opts):
    relay = Relay(comp.runtime, comp.env["WAYLAND_DISPLAY"], "skorrel-relay").start()
    try:
        relay.hold_event("zwp_locked_pointer_v1", 0, seconds=HOLD_BACK)
        race(comp, relay, game_bin)
        check("the relay saw nothing wrong", not relay.errors and not relay.protocol_errors,
              f"{relay.errors} {relay.protocol_errors}")
    finally:
        relay.close()


def race(comp, relay, game_bin):
    folder = tempfile.mkdtemp(prefix="game-", dir=comp.work)
    upstream = comp.env["WAYLAND_DISPLAY"]
    comp.env["WAYLAND_DISPLAY"] = relay.name  # only for the game
    try:
        game = e2e.Game(comp, game_bin, folder)
    finally:
        comp.env["WAYLAND_DISPLAY"] = upstream
    if not check("the window appears", game.win is not None, game.output()):
        return
    fx, fy, fw, fh, kx, ky, kw, kh = game.frame()
    clicked = (kx + kw // 5, ky + kh // 2)     # where press_start clicks
    pressed = game.press_start()

    # 1. The compositor holds the pointer where it was clicked; the game
    # does not know yet, so it shows the compositor's pointer.
    time.sleep(0.8)
    img = e2e.shot(comp, "late-1-unheard", cursor=True)
    if img:
        e2e.arrow_at(comp, img, clicked, "before the lock is heard of, one arrow: the pointer where it was clicked")

    # 2. Heard of: held at the held point, through moves that try to leave.
    heard = wait_until(lambda: [h for h in relay.held if h[1] == "zwp_locked_pointer_v1" and h[4]], 4)
    if check("the relay held the lock back", heard, str(relay.held)):
        late = heard[0][4] - heard[0][3]
        check(f"the game heard of the lock {HOLD_BACK:g} s late", late >= HOLD_BACK - 0.05, f"{late:.3f} s")
        log(f"the lock reached the game {heard[0][4] - pressed:.2f} s after the press")
    time.sleep(0.2)
    comp.to(-10 * e2e.W, -10 * e2e.H)
    comp.to(3 * e2e.W, 2 * e2e.H)
    img = e2e.shot(comp, "late-2-held", cursor=True)
    if img:
        e2e.arrow_at(comp, img, e2e.HELD, "once the lock is heard of, held and shown at the held point")

    # 3. Let go at the held point: a sweep from there ends the race.
    e2e.wait_go(comp, pressed)
    img = e2e.shot(comp, "late-3-go", cursor=True)
    if img:
        e2e.arrow_at(comp, img, e2e.HELD, "after go! the pointer is there")
    e2e.sweep(comp)
    check("the race ends and is recorded", wait_until(lambda: len(game.lines()) == 1, 3), str(game.lines()))
    check("nothing said of a lock that never came", "has not locked" not in game.output(), game.output())
    comp.close_window(game.win)
    check("closed: exit status 0", game.wait_exit() == 0, game.output())


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    sys.exit(e2e.run_session(sys.argv[1:], play))

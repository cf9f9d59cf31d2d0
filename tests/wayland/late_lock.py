"""The late-lock scenario (e2e.py --scenario=late-lock): a pointer lock that
the game hears of late. A relay of ours (relay.py) between the game and the
compositor holds the compositor's `locked` back for two seconds, as a
compositor that grants a lock only after a click on the surface, or seconds
on, would send it.

1. Until the game hears of the lock, one arrow shows: the compositor's
   pointer, where it is, not a picture at the held point.
2. From then until go!: held, and shown at the held point, one arrow.
3. After go!: let go at the held point; the race plays to its end and is
   recorded, and the game does not say the lock never came. The window's
   picture at go! is sent once, showing "go!": the number the last pass
   wrote and replaced never reaches the compositor.
"""
import time

from game import Game, arrow_at, picture_of
from harness import check, log, relayed, wait_until
from scenarios import play, wait_go

HOLD_BACK = 2.0


def late_lock(comp, o):
    with relayed(comp) as relay:
        relay.hold_event("zwp_locked_pointer_v1", 0, seconds=HOLD_BACK)
        if not (game := Game.open(comp, o.game, display=relay.name)):
            return
        clicked = game.button()
        pressed = game.press_start()

        # 1. The compositor holds the pointer where it was clicked; the game
        # does not know yet, so it shows the compositor's pointer.
        time.sleep(0.8)
        arrow_at(comp, "late-1-unheard", clicked,
                 "before the lock is heard of, one arrow: the pointer where it was clicked", cursor=True)

        # 2. Heard of: held at the held point, through moves that try to leave.
        heard = wait_until(lambda: [h for h in relay.held if h[1] == "zwp_locked_pointer_v1" and h[4]], 4)
        if check("the relay held the lock back", heard, str(relay.held)):
            late = heard[0][4] - heard[0][3]
            check(f"the game heard of the lock {HOLD_BACK:g} s late", late >= HOLD_BACK - 0.05, f"{late:.3f} s")
            log(f"the lock reached the game {heard[0][4] - pressed:.2f} s after the press")
        time.sleep(0.2)
        play(comp, "shove")
        arrow_at(comp, "late-2-held", comp.screen.held, "once the lock is heard of, held and shown at the held point",
                 cursor=True)

        # 3. Let go at the held point: a sweep from there ends the race.
        wait_go(comp, game)
        # Through the relay go! can come later than the harness counts on a
        # busy machine: the sweep waits until the game has let go.
        check("the game lets go of the lock at go!", wait_until(lambda: relay.unlocks, 3), str(relay.unlocks))
        arrow_at(comp, "late-3-go", comp.screen.held, "after go! the pointer is there", cursor=True)
        play(comp, "sweep")
        game.recorded(1, "the race ends and is recorded")
        check("nothing said of a lock that never came", "has not locked" not in game.output(), game.output())
        covers = [s for s in relay.surfaces if s.role == "xdg"]
        picture = picture_of(relay, covers[-1]) if covers else None
        if check("the window's picture on the covering surface is seen", picture and relay.unlocks,
                 f"{relay.surfaces} {relay.unlocks}"):
            # "3" went a second before go!; nothing else changes in the
            # window until the race ends.
            went = relay.unlocks[-1]
            sent = [round(t - went, 3) for t in relay.commit_times(surface=picture, with_buffer=True)
                    if went - 0.75 <= t < went + 0.3]
            check("one picture of the window at go!, none of the number it replaces", len(sent) == 1,
                  f"{sent} s from the unlock")
        game.close()

"""The stress scenario (e2e.py --scenario=stress): the game's own Wayland
connection with a relay of ours (relay.py) between it and the compositor,
which stops reading from the game for a second, later cuts it, does not
answer the next connection, and on the one after never says a frame was
drawn.

1. A race whose count-in and go! fall into a second in which the
   compositor reads nothing from the game: it plays to its end and is
   recorded. The covering surface is committed only when what it shows
   changes: a few times in the count-in, never in a race with the pointer
   still.
2. The connection cut during a race: the race stops, a box says why,
   standard error says it once, nothing is recorded.
3. The next race connects anew to a compositor that does not answer: it
   stops within the game's deadline, a box and standard error say why,
   nothing is recorded. Then one cut before it answers: the same, said once.
4. The next race connects anew to a compositor that never says it drew a
   frame: the window's picture still follows the count-in to go!, at most
   half a second late; the race plays and is recorded.
"""
import time

from game import BEST_TITLE, Game, dismiss, dismiss_any
from harness import check, log, relayed, wait_until
from relay import FRAME
from scenarios import play, wait_go

# What the covering surface may show anew in a count-in: the first picture
# and the arrow, "1", "2", "3", "go!" with the button disabled, a few
# placements when the compositor sizes it.
MOST_COUNT_IN_COMMITS = 24
# How long the game waits for a new connection's first answers.
ANSWER_DEADLINE = 2.0


def stopped_and_said(comp, game, box, what, detail, reason, said_before=""):
    """A race the connection stopped: a box says so (Return on it), nothing
    is recorded, and standard error gives the reason once (after what it
    had said before the race)."""
    if check(what, box is not None, detail):
        dismiss(comp, "Skorrel")
    check("nothing recorded", len(game.lines()) == 1, str(game.lines()))
    said = game.output()[len(said_before):]
    check("standard error says why, once", said.count(reason) == 1, said)


def stress(comp, o):
    with relayed(comp) as relay:
        if not (game := Game.open(comp, o.game, display=relay.name)):
            return

        # 1. Nothing read from 2.6 s to 3.6 s after the press: "3", "go!",
        # the unlock and the disabled button all wait in the game meanwhile.
        before = time.monotonic()
        pressed = game.press_start()
        wait_until(lambda: time.monotonic() - pressed > 2.6, 4)
        relay.pause()
        time.sleep(1.0)
        relay.resume()
        wait_go(comp, game)
        went = time.monotonic()
        time.sleep(1.0)
        still = relay.commits_between(went, time.monotonic(), conn=relay.connection().n)
        play(comp, "sweep")
        game.recorded(1, "a second unread across go!: the race plays to its end and is recorded", game.output())
        covers = [s for s in relay.surfaces if s.role == "xdg" and s.created >= before]
        if check("the covering surface is seen through the relay", len(covers) == 1, str(relay.surfaces)):
            cover = covers[0]
            counted = relay.commits_between(cover.created, went, conn=cover.conn)
            log(f"count-in: {counted} commits of the covering surface and its pictures, "
                f"{relay.connection(cover.conn).pools} shm pools on the connection so far")
            check(f"at most {MOST_COUNT_IN_COMMITS} commits in the count-in", 0 < counted <= MOST_COUNT_IN_COMMITS,
                  str(counted))
            check("none in a second of the race with the pointer still", still == 0, str(still))
        check("no failure said", "Wayland compositor" not in game.output(), game.output())

        # 2. Cut in the race: stopped, said, not recorded.
        time.sleep(0.3)
        game.press_start()
        wait_go(comp, game)
        comp.to(0, comp.screen.held[1])  # the left edge: one of four
        cut = relay.cut()
        check("the game's connection is cut", cut >= 1, str(cut))
        box = wait_until(lambda: comp.window("Skorrel"), 3)
        stopped_and_said(comp, game, box, "a box titled 'Skorrel' says the race was stopped", game.output(),
                         "skorrel: the connection to the Wayland compositor was lost")

        # 3. A new connection that the compositor does not answer.
        time.sleep(0.3)
        opened = len(relay.connections)
        relay.pause()
        pressed = game.press_start()
        box = wait_until(lambda: comp.window("Skorrel"), ANSWER_DEADLINE + 2)
        stopped = time.monotonic() - pressed
        relay.resume()
        check("the next race connects anew", relay.wait_connections(opened + 1, 1), str(relay.totals()))
        log(f"stopped {stopped:.2f} s after the press")
        stopped_and_said(comp, game, box,
                         f"unanswered, the race stops as the game gives up after {ANSWER_DEADLINE:g} s, and a box says so",
                         f"{stopped:.2f} s: {game.output()}", "skorrel: the Wayland compositor has not answered")

        # 3b. A new connection cut while the game waits for its first answers.
        time.sleep(0.3)
        opened = len(relay.connections)
        said_before = game.output()
        relay.pause()
        game.press_start()
        check("the next race connects anew", relay.wait_connections(opened + 1, 2), str(relay.totals()))
        time.sleep(0.3)
        relay.cut()
        relay.resume()
        box = wait_until(lambda: comp.window("Skorrel"), 3)
        stopped_and_said(comp, game, box, "cut before it answers, the race stops and a box says so", game.output(),
                         "skorrel: the connection to the Wayland compositor was lost", said_before)

        # 4. A new connection on which no frame is ever said drawn.
        time.sleep(0.3)
        opened = len(relay.connections)
        relay.drop_frames()
        game.press_start()
        check("the next race connects anew", relay.wait_connections(opened + 1, 3), str(relay.totals()))
        conn = opened + 1
        wait_go(comp, game)
        play(comp, "sweep")
        dismiss_any(comp, (BEST_TITLE,), 2)
        game.recorded(2, "with no frame said drawn, the race is recorded")
        dropped = [h for h in relay.held if h[0] == conn and h[1] == FRAME]
        check("the relay kept the frames' done from the game", dropped, str(relay.held))
        covers = [s for s in relay.surfaces if s.conn == conn and s.role == "xdg"]
        pictures = [s for s in relay.surfaces if s.conn == conn and s.role == "sub" and covers and
                    s.parent is covers[0]]
        if check("the covering surface and the window's picture are seen", covers and pictures,
                 str(relay.surfaces)):
            # The picture is the first sub-surface; the held arrow comes next.
            shown = [t - pressed for t in relay.commit_times(surface=pictures[0], with_buffer=True)]
            log("the picture shown at " + ", ".join(f"{t:.2f}" for t in shown) + " s after the press")
            # "Race Start", "1", "2", "3", "go!": each at most half a second
            # after the last, go! 3.5 s after the press.
            check("the picture follows the count-in though no frame is said drawn",
                  len(shown) >= 5 and shown[-1] >= 3.3, str(shown))
        game.close()

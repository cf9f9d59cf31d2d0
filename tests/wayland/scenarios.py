"""The races e2e.py plays (--scenario full, short, unheld, two-monitors,
closes, picture): their moves as data, lists of points that play() plays,
and the checks around them. stress.py and late_lock.py hold the two with a
relay.

A move is a point the pointer goes to (Compositor.to) in pixels of the
screen the game measures; one beyond an edge stops a mouse at the edge and
puts a tablet on the nearest pixel. Relative lists are motions by so many
pixels from wherever the pointer is, for a mouse only.
"""
import time

from game import BEST_TITLE, REFUSED_TITLE, Game, arrow_at, dismiss, dismiss_any, find_arrow
from harness import check, log, shot, wait_until


def moves(W, H, X, Y):
    """Every list of moves, by name, for a screen of W x H whose held point
    is X, Y."""
    return {
        # Tries to leave the held point during the count-in.
        "shove": [(-10 * W, -10 * H),         # a corner
                  (3 * W, 2 * H)],            # then far the other way
        # From the held y: left, top, right, bottom, each away from the corners.
        "sweep": [(0, Y),                     # left
                  (0, -10 * H),               # top-left corner
                  (100, 0),                   # top
                  (10 * W, 0),                # top-right corner
                  (W - 1, 100),               # right
                  (W - 1, 10 * H),            # bottom-right corner
                  (W - 101, H - 1)],          # bottom
        # After go!, a move left by one less than the held x is a near miss;
        # with corners and margins it leaves the race running: the held x is
        # not below the centre's x - 1.
        "near misses": [(1, Y),               # one short of the left edge
                        (1, -10 * H),         # (1, 0): the top's margin
                        (3, 0),               # top
                        (10 * W, 0),          # top-right corner
                        (W - 1, 3),           # (maxX, 3): right
                        (W - 1, 10 * H),      # bottom-right corner
                        (W - 4, H - 1),       # (maxX - 3, maxY): bottom
                        (-10 * W, H - 1),     # bottom-left corner
                        (0, H - 3)],          # (0, maxY - 2): the left edge's margin
        # A near miss of the top from the held y, then the other three.
        "near the top": [(X, 1),                  # one short of the top
                     (-10 * W, 1),            # top-left corner
                     (0, 101),                # left
                     (0, 10 * H),             # bottom-left corner
                     (100, H - 1),            # bottom
                     (10 * W, H - 1),         # bottom-right corner
                     (W - 1, H - 101)],       # right
        # The top after more than ten seconds.
        "top at last": [(W - 1, -10 * H),     # top-right corner
                        (W - 101, 0)],        # top
        # A mouse held left of the held point touches the left edge with the
        # first move and the race ends early; held below it, it never
        # touches the top.
        "short": [(1, Y),                     # one short of the left edge
                  (3, Y),                     # two pixels right
                  (3, 0),                     # top, the first pixel past the corner
                  (10 * W, 0),                # top-right corner
                  (W - 1, 100),               # right
                  (W - 1, 10 * H),            # bottom-right corner
                  (W - 101, H - 1)],          # bottom
        "short's last": [(-10 * W, H - 1),    # bottom-left corner
                         (0, H - 101)],       # left, the fourth edge
        # Relative: the four edges from wherever the pointer was let go.
        "unheld": [(-10 * W, 0),              # far left
                   (0, -100),                 # left
                   (0, -10 * H),              # top-left corner
                   (100, 0),                  # top
                   (10 * W, 0),               # top-right corner
                   (0, 100),                  # right
                   (0, 10 * H),               # bottom-right corner
                   (-100, 0)],                # bottom
        # Relative: onto the other monitor, as far as a compositor lets one
        # move cross (mutter stops a longer one at the shared edge by
        # itself): kept on the primary, the pointer stops at maxX; then the
        # other three.
        "two-monitors": [(W - X + 100, 0),    # past the shared edge
                         (5 * W, 0),          # far past it
                         (0, -10 * H),        # top-right corner of the primary
                         (-100, 0),           # top
                         (-10 * W, 0),        # top-left corner
                         (0, 100),            # left
                         (0, 10 * H),         # bottom-left corner
                         (100, 0)],           # bottom
        # Absolute, across the whole layout (the other monitor is right of
        # the primary): near misses first, each leaving the race running.
        "two-monitors near misses": [(W - 2, Y),      # one short of the shared edge
                                     (W - 1, 0),      # top-right corner
                                     (0, H - 1),      # bottom-left corner
                                     (1, Y)],         # one short of the left edge
        # On the other monitor: held on the shared edge at maxX; then the
        # other three.
        "two-monitors abs": [(W + W // 2, Y),         # the other monitor's middle
                             (100, 0),                # top
                             (0, 100),                # left
                             (100, H - 1)],           # bottom
        "two-monitors abs 2": [(2 * W - 1, 100),      # the other monitor's far side
                               (W - 101, 0),          # top
                               (0, H - 101),          # left
                               (101, H - 1)],         # bottom
    }


def play(comp, name, first=None, relative=False):
    """Plays the first moves of the list of this name (all of them unless
    first says how many)."""
    s = comp.screen
    for p in moves(s.w, s.h, *s.held)[name][:first]:
        (comp.rel if relative else comp.to)(*p)


def point_across(comp, name):
    """Points a tablet at each point of the list of this name, which may
    lie on any monitor of the layout."""
    s = comp.screen
    for p in moves(s.w, s.h, *s.held)[name]:
        comp.point(*p)
        comp.at = (min(max(p[0], 0), s.w - 1), min(max(p[1], 0), s.h - 1))


def shove_during_count_in(comp, pressed):
    """Tries to leave the held point a second after the press."""
    time.sleep(max(0.0, pressed + 1.0 - time.monotonic()))
    play(comp, "shove")


UNLOCK_FIRST = 0.05  # s


def wait_go(comp, game):
    """Until just after go!: the game lets go of the pointer at the held
    point. Where the compositor tells where its pointer is, until it is
    there too (GNOME Shell shows the covering surface, and so counts in,
    up to half a second late)."""
    went = wait_until(game.let_go, 8, 0.01)
    check("go! lets go of the pointer", went, game.output())
    if comp.locks:
        check("the pointer stays locked from the press to go!", game.lock_kept())
    log(f"go! seen {time.monotonic() - game.pressed:.2f} s after the press")
    # The unlock reaches the compositor on another connection than the
    # harness's motions: it goes first.
    time.sleep(UNLOCK_FIRST)
    if comp.tells_pointer and not wait_until(lambda: comp.pointer() == comp.screen.held, 1, 0.02):
        log("the compositor's pointer is not at the held point:", comp.pointer())
    comp.at = comp.screen.held


def held_through_count_in(comp, game, shots):
    """Presses start and checks the arrow at the held point: in the
    count-in, after the shove when shots names a screenshot for it, and
    just after go!. shots: the screenshots' names, in that order."""
    held = comp.screen.held
    pressed = game.press_start()
    time.sleep(0.5)
    arrow_at(comp, shots[0], held, "the pointer is shown at the held point")
    shove_during_count_in(comp, pressed)
    if len(shots) == 3:
        time.sleep(0.3)
        arrow_at(comp, shots[1], held, "still shown there after moves to a corner and far away")
    wait_go(comp, game)
    arrow_at(comp, shots[-1], held, "after go! the pointer is there", cursor=True)


def closed_mid_race(comp, game, before, what):
    """A race started, then closed by the compositor's close key on the
    covering surface: the game ends with status 0 and writes nothing."""
    game.press_start()
    wait_go(comp, game)
    play(comp, "sweep", 3)          # left and top, not the end
    if comp.tells_focus:
        who = comp.focused()
        check("the covering surface has the keyboard", who == "Skorrel", str(who))
    comp.close_covering_surface()
    status = game.wait_exit()
    check(what, status == 0, f"{status} {game.output()}")
    check("nothing written by the closed race", game.lines() == before, str(game.lines()))


def centred(fr, s, what, vertical=True):
    """The game asks for the frame's corner at (W - FW) / 2, (H - FH) / 2."""
    check(what, fr and abs(2 * fr[0] - (s.w - fr[2])) <= 2 and
          (not vertical or abs(2 * fr[1] - (s.h - fr[3])) <= 2), str(fr))


def full(comp, o):
    """The whole game: near misses, a new best, a refused run, and closes
    in the count-in and in the race."""
    if not (game := Game.open(comp, o.game)):
        return
    fr = game.frame()
    log("frame", fr)
    check("client area 248x48", fr and fr[6:8] == [248, 48], str(fr))
    centred(fr, comp.screen, "the window is centred, frame included")
    shot(comp, "1-start")
    first = near_misses_then_edge(comp, game)
    new_best(comp, game, first)
    before = refused_after_ten_seconds(comp, game)
    closed_in_count_in_then_race(comp, o, game, before)


def near_misses_then_edge(comp, game):
    """Race 1: held against a corner and a long move, then near misses;
    the fourth edge ends it. Returns its time in ms."""
    held_through_count_in(comp, game, ("2-held", "3-count-in", "4-go"))
    play(comp, "near misses")
    time.sleep(0.6)
    check("a near miss, corners and margins leave the race running", game.lines() == [] and game.proc.poll() is None,
          str(game.lines()))
    comp.to(0, comp.screen.h - 4)    # (0, maxY - 3): left, the fourth edge
    if not game.recorded(1, "the fourth edge ends the race and records it"):
        return 10 ** 6
    first = int(game.lines()[0].split(b" ")[2])
    log("race 1:", game.lines()[0].decode())
    check("race 1 took at least its waits", first >= 600, str(first))
    return first


def new_best(comp, game, first):
    """Race 2: shoved during the count-in again; after go! one move left by
    exactly the held x touches the left edge. Held anywhere else (or not
    held at all) the sweep that follows never touches it. Quick: a new best."""
    time.sleep(0.3)
    pressed = game.press_start()
    shove_during_count_in(comp, pressed)
    wait_go(comp, game)
    play(comp, "sweep")
    if check(f"a box titled '{BEST_TITLE}'", wait_until(lambda: comp.window(BEST_TITLE), 5) is not None):
        time.sleep(0.3)
        shot(comp, "5-new-best")
        check("nothing recorded while the box is open", len(game.lines()) == 1)
        dismiss(comp, BEST_TITLE)
    if game.recorded(2, "race 2 recorded"):
        log("race 2:", game.lines()[1].decode())
        check("race 2 is the new best", int(game.lines()[1].split(b" ")[2]) < first)


def refused_after_ten_seconds(comp, game):
    """Race 3: a near miss of the top edge, then the other three; the top
    only after ten seconds: refused, the file unchanged. Returns the file's
    lines."""
    before = game.lines()
    time.sleep(0.3)
    game.press_start()
    wait_go(comp, game)
    went = time.monotonic()
    play(comp, "near the top")
    time.sleep(0.6)
    check("a near miss of the top leaves the race running", game.lines() == before and
          comp.window(REFUSED_TITLE) is None)
    time.sleep(max(0.0, went + 10.3 - time.monotonic()))
    play(comp, "top at last")
    if check(f"a box titled '{REFUSED_TITLE}' after more than ten seconds",
             wait_until(lambda: comp.window(REFUSED_TITLE), 5) is not None):
        time.sleep(0.3)
        shot(comp, "6-refused")
        dismiss(comp, REFUSED_TITLE)
    time.sleep(0.3)
    check("a refused run leaves the file as it was", game.lines() == before)
    return before


def closed_in_count_in_then_race(comp, o, game, before):
    """Closed during the count-in, then (a new game) during the race:
    status 0, nothing written."""
    game.press_start()
    time.sleep(1.2)
    game.close("closed during the count-in: exit status 0")
    check("nothing written by the closed race", game.lines() == before)
    if not (game := Game.open(comp, o.game, folder=game.folder, what="the game starts again")):
        return
    shot(comp, "7-restart")
    closed_mid_race(comp, game, before, "closed during the race: exit status 0")
    if "pointer constraints" in game.output():
        check("no complaint about pointer constraints", False, game.output())


def short(comp, o):
    """One race: the pointer held (on the screen where it can be seen, and
    through the race: a move from the held x stops one pixel short of the
    left edge, one from the held y reaches the top), the four edges, the
    record written."""
    if not (game := Game.open(comp, o.game)):
        return
    fr = game.frame()
    log("frame", fr)
    centred(fr, comp.screen, "the window is centred, frame included")
    held_through_count_in(comp, game, ("held", "go"))
    play(comp, "short")
    time.sleep(0.6)
    check("one pixel short of the left edge leaves the race running", game.lines() == [] and
          game.proc.poll() is None, str(game.lines()))
    play(comp, "short's last")
    if game.recorded(1, "the fourth edge ends the race and records it"):
        log("race:", game.lines()[0].decode())
    game.close()


def relative_races(comp, o):
    """Two races by relative motion from wherever go! leaves the pointer.
    unheld: a compositor that never grants the lock; the races still run,
    and the game says why the pointer is not held, once. two-monitors: a
    second monitor right of the primary; during the race the shared edge
    stops the pointer and counts."""
    unheld = o.scenario == "unheld"
    if not unheld and comp.device == "abs":
        # The harness's own tablet reaches the other monitor.
        s = comp.screen
        want = [(s.w + s.w // 2, s.held[1]), (2 * s.w - 1, 100), (s.w - 2, s.held[1])]
        got = comp.pointed(want)
        if got is not None:
            check("the tablet points on both monitors", got == want, f"{got}, not {want}")
    if not (game := Game.open(comp, o.game)):
        return
    if not unheld:
        centred(game.frame(), comp.screen, "the window is centred on the primary monitor", vertical=False)
    # After the tablet's two races, a mouse's in the same game.
    tablet = not unheld and comp.device == "abs"
    for n in (1, 2, 3) if tablet else (1, 2):
        pressed = game.press_start()
        if unheld:
            shove_during_count_in(comp, pressed)
        wait_go(comp, game)
        img = shot(comp, f"unheld-{n}", cursor=True) if unheld else None
        if tablet and n < 3:
            two_monitors_absolute(comp, game, n)
        else:
            if tablet:
                comp.rel(10, 0)     # a mouse's first small motion
            play(comp, o.scenario, relative=True)
        if n >= 2:
            dismiss_any(comp, (BEST_TITLE, REFUSED_TITLE), 3)
        game.recorded(n, f"race {n} runs to its end without a hold" if unheld else
                      "race 3: a mouse after the tablet, the shared edge stops it and counts" if n == 3 else
                      f"race {n}: the edge shared with the other monitor stops the pointer and counts")
        if img:
            check("the pointer is not shown at the held point", find_arrow(img, comp.scale) != comp.screen.held,
                  str(find_arrow(img, comp.scale)))
        if not unheld:
            shot(comp, f"two-monitors-{n}", cursor=True)
    if unheld:
        said = game.output().count("has not locked the pointer")
        check("the game says once why the pointer is not held", said == 1, game.output())
    else:
        time.sleep(0.5)
    game.close()


def two_monitors_absolute(comp, game, n):
    """A tablet pointing across both monitors: a point on the other one
    holds the pointer on the primary's shared edge, which counts; near
    misses do not."""
    s = comp.screen
    before = game.lines()
    if n == 1:
        point_across(comp, "two-monitors near misses")
        time.sleep(0.6)
        check("one pixel short of the shared edge, corners and one short of the left leave the race running",
              game.lines() == before and game.proc.poll() is None, str(game.lines()))
        comp.point(s.w + s.w // 2, s.held[1])
        time.sleep(0.3)
        seen = arrow_at(comp, "two-monitors-edge", (s.w - 1, s.held[1]),
                        "a point on the other monitor shows the pointer on the primary's shared edge", cursor=True)
        bare = shot(comp, "two-monitors-edge-bare")
        if seen and bare:
            # Past the arrow's width beyond the edge, the other monitor
            # looks the same with the pointer drawn as without.
            w, h = seen[0], seen[1]
            x0 = int((s.w + 16) * w / s.root[0]) * 3
            row = w * 3
            same = all(seen[2][y * row + x0:(y + 1) * row] == bare[2][y * row + x0:(y + 1) * row] for y in range(h))
            check("no other pointer shows on the other monitor", same)
        point_across(comp, "two-monitors abs")
    else:
        point_across(comp, "two-monitors abs 2")


def closes(comp, o):
    """Two games, each closed as a player would and each to end at once
    with status 0: the first by its window's close after two races, the
    second from its first race, pressed as soon as the window shows, by the
    close key on the covering surface."""
    if not (game := Game.open(comp, o.game)):
        return
    fr = game.frame()
    log("frame", fr)
    check("client area 248x48", fr and fr[6:8] == [248, 48], str(fr))
    if not comp.own_windows or comp.centres_wayland_windows:
        centred(fr, comp.screen, "the window is centred, frame included")
    held_through_count_in(comp, game, ("held", "go"))
    play(comp, "short")
    play(comp, "short's last")
    if game.recorded(1, "race 1 ends at the fourth edge and is recorded"):
        log("race 1:", game.lines()[0].decode())
    time.sleep(0.3)
    game.press_start()
    wait_go(comp, game)
    play(comp, "sweep")
    dismiss_any(comp, (BEST_TITLE, REFUSED_TITLE), 3)
    if game.recorded(2, "race 2 recorded"):
        log("race 2:", game.lines()[1].decode())
    before = game.lines()
    game.close("closed after two races: exit status 0 at once")

    if not (game := Game.open(comp, o.game, folder=game.folder, what="the game starts again")):
        return
    closed_mid_race(comp, game, before, "closed during its first race: exit status 0 at once")


def picture(comp, o):
    """The README's picture: the window during the count-in, held pointer
    and all, cut from the screen (scripts/screenshot-wayland.sh)."""
    if not (game := Game.open(comp, o.game)):
        return
    fr = game.frame()
    pressed = game.press_start()
    wait_until(lambda: time.monotonic() - pressed > 2.2, 4)
    shot(comp, "count-in")
    log("window frame", fr)
    print("crop", fr[0] - 40, fr[1] - 40, fr[2] + 80, fr[3] + 80)


SCENARIOS = {"full": full, "short": short, "unheld": relative_races, "two-monitors": relative_races,
             "closes": closes, "picture": picture}

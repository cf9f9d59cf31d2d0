"""A whole desktop (--desktop: KWin with Plasma's own screen edges and its
Breeze frame, or GNOME Shell): the window centred with the desktop's
frame, and a race whose sweep presses into the top-left corner, where
Plasma opens its Present Windows and GNOME Shell its overview. Nothing opens from the press to
the end of the race; the same push with no race opens it, before and
after."""
import time

from game import Game
from harness import check, log, shot, wait_until
from scenarios import centred, play, wait_go


def push_corner(comp):
    """As a mouse gets there from the middle of the screen: up and left,
    pressing on into the corner for about a second (a hot corner is a
    pressure barrier, deaf to jumps; a screen edge fires on a second push
    that comes between 150 and 350 ms after the first)."""
    comp.rel(comp.screen.w // 2, comp.screen.h // 2)
    for _ in range(40):
        # A motion every 20 ms, as a mouse sends them, not each only once
        # the last is handled: on a busy machine that took longer than an
        # edge waits for its second push.
        comp.nudge(-60 / comp.ux, -40 / comp.uy)
        time.sleep(0.02)
    comp.sync()
    comp.at = (0, 0)


def opens(comp):
    """Pushes into the corner until the action opens, four times at most:
    KWin's Present Windows is drawn in QML, slow to come the first time on
    a busy machine, and its edge often wants a push more than a mouse's
    first."""
    for _ in range(4):
        push_corner(comp)
        if wait_until(comp.corner_action_open, 4, 0.1):
            return True
    return False


def closes(comp):
    comp.close_corner_action()
    return wait_until(lambda: not comp.corner_action_open(), 3, 0.1)


def stays_shut(comp):
    return not wait_until(comp.corner_action_open, 1, 0.1)


def desktop(comp, o):
    if not (game := Game.open(comp, o.game)):
        return
    fr = game.frame()
    log("frame", fr)
    centred(fr, comp.screen, "the window is centred, frame included")
    check("the desktop frames the window", fr and fr[3] > fr[7], str(fr))
    check("the corner with no race opens the desktop's action", opens(comp))
    check("the action closes again", closes(comp))
    # KWin leaves an edge deaf for a while after it fired.
    time.sleep(1)

    game.press_start()
    wait_go(comp, game)
    # Two pushes, as a control may take (three would take the race past
    # its ten seconds).
    for _ in range(2):
        push_corner(comp)
        check("at the corner mid-race nothing of the desktop opens", stays_shut(comp))
    shot(comp, "corner-mid-race")
    # Down off the corner, then the four edges from there.
    comp.rel(0, comp.screen.h // 2)
    play(comp, "unheld", relative=True)
    if game.recorded(1, "the race ends in a record"):
        log("race:", game.lines()[0].decode())
    check("nothing opened through the race", stays_shut(comp))
    time.sleep(0.5)
    check("after the race the corner opens the action again", opens(comp))
    check("the action closes again", closes(comp))
    game.close()

"""The game as the tests drive it (Game), its boxes, and its arrow as a
screenshot shows it."""
import os
import re
import shutil
import subprocess
import tempfile
import time

from harness import check, log, shot, wait_until

TITLE = "Skorrel  Ver1.0   by Vesk"
BEST_TITLE = "Skorrel 記録更新"
REFUSED_TITLE = "Project1"
APP_ID = "org.skorrel.Skorrel"     # packaging/org.skorrel.Skorrel.desktop

# libwayland's trace of a request (WAYLAND_DEBUG=client): "[  1234.567]  -> if@id.req(...)".
WIRE_LINE = re.compile(r"^\[ *\d+\.\d+\] ")
# At go! the game lets go of the lock that held the pointer in the count-in.
LET_GO = re.compile(rb"-> zwp_locked_pointer_v1@\d+\.destroy\(")
LOCKED = re.compile(rb"\] zwp_locked_pointer_v1@\d+\.locked\(")
UNLOCKED = re.compile(rb"\] zwp_locked_pointer_v1@\d+\.unlocked\(")


class Game:
    def __init__(self, comp, binary, folder, display=None):
        """The game started in folder; display: the Wayland display it
        connects to (a relay's) instead of the compositor's."""
        self.comp = comp
        self.folder = folder
        self.history = os.path.join(folder, "time_atack.txt")
        if not os.path.exists(os.path.join(folder, "skorrel")):
            shutil.copy(binary, os.path.join(folder, "skorrel"))
        self.log_path = os.path.join(folder, "game.log")
        env = dict(comp.env, WAYLAND_DISPLAY=display) if display else dict(comp.env)
        # The game's own account of its wire: go! is seen as it happens.
        env["WAYLAND_DEBUG"] = "client"
        self.pressed = None
        self._scan_at = 0
        self._count_in = b""   # the trace since the press
        if comp.qt_platform is not None:
            env["QT_QPA_PLATFORM"] = comp.qt_platform
        self.proc = subprocess.Popen([os.path.join(folder, "skorrel")], cwd=folder, env=env,
                                     stdout=open(self.log_path, "ab"), stderr=subprocess.STDOUT)
        comp.procs.append(self.proc)
        self.win = wait_until(lambda: comp.window(TITLE), 20)
        # KWin frames and places the window a moment after it shows: until
        # then it is at 0,0 in a 1x1 frame.
        last = [None]

        def settled():
            f = self.frame()
            same = f is not None and f == last[0] and f[2] >= f[6] and f[3] >= f[7]
            last[0] = f
            return same
        if self.win:
            wait_until(settled, 5, 0.2)

    @classmethod
    def open(cls, comp, binary, display=None, folder=None, what="the window appears"):
        """The game in a folder of its own (or again in folder), checked to
        show its window: None when it does not."""
        game = cls(comp, binary, folder or tempfile.mkdtemp(prefix="game-", dir=comp.work), display)
        if not check(what, game.win is not None, "" if game.win else game.output()):
            return None
        if comp.own_windows and not comp.nox:
            # XWayland is there, yet Qt was told to use Wayland itself.
            x = comp.x_window(TITLE)
            check("the window is a Wayland one, not XWayland's", x is None, f"X window {x}")
        if comp.own_windows and comp.tells_app_id:
            # Ties it to the menu entry, and so to its icon.
            app = comp.app_id(game.win)
            check(f"the app id is {APP_ID}", app == APP_ID, repr(app))
        return game

    def lines(self):
        if not os.path.exists(self.history):
            return []
        with open(self.history, "rb") as f:
            return f.read().split(b"\r\n")[:-1]

    def recorded(self, n, what, detail=""):
        """Checks that the race ends, as the history's n-th record."""
        return check(what, wait_until(lambda: len(self.lines()) == n, 3), str(self.lines()) + detail)

    def frame(self):
        return self.comp.frame(self.win)

    def button(self):
        """Where press_start presses: the start button, in X pixels."""
        fr = self.frame()
        if not fr:
            raise RuntimeError("the game's window is gone")
        fx, fy, fw, fh, kx, ky, kw, kh = fr
        return kx + kw // 5, ky + kh // 2

    def press_start(self):
        self.comp.reach(*self.button())
        self._scan_at = os.path.getsize(self.log_path)
        self._count_in = b""
        self.comp.press(TITLE)
        self.pressed = time.monotonic()
        return self.pressed

    def let_go(self):
        """Whether the game has let go of the pointer since the last press."""
        with open(self.log_path, "rb") as f:
            f.seek(self._scan_at)
            text = f.read()
        # A line still being written is read again next time.
        whole = text[:text.rfind(b"\n") + 1]
        self._scan_at += len(whole)
        self._count_in += whole
        return LET_GO.search(self._count_in) is not None

    def lock_kept(self):
        """Whether, from the press to go!, the compositor said the lock took
        hold and never that it ended."""
        trace = self._count_in[:m.start()] if (m := LET_GO.search(self._count_in)) else self._count_in
        return LOCKED.search(trace) is not None and UNLOCKED.search(trace) is None

    def close(self, what="closed: exit status 0"):
        """Closes the window as its close button does: the game must end with 0."""
        self.comp.close_window(self.win)
        status = self.wait_exit()
        boxes = "" if status == 0 else f"{self.comp.window(BEST_TITLE)} {self.comp.window(REFUSED_TITLE)}"
        return check(what, status == 0, f"{status} {boxes} {self.output()}")

    def wait_exit(self, timeout=5):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def output(self):
        """What the game said, without the trace of its wire."""
        with open(self.log_path, errors="replace") as f:
            return "".join(line for line in f if not WIRE_LINE.match(line))


def dismiss(comp, title):
    """Return on the box, as a player would, once it has the keyboard: a
    key lost on the way fails. Where the compositor cannot say who has the
    keyboard, Return again if the box may not have had it yet; never a
    click."""
    if comp.tells_focus:
        if not wait_until(lambda: comp.focused() == title, 3, 0.1):
            log(f"the box '{title}' has not got the keyboard: {comp.focused()} has")
        tries = 1
    else:
        time.sleep(0.7)
        tries = 3
    for attempt in range(tries):
        if attempt:
            log(f"the box '{title}' is still there after Return: again")
            time.sleep(0.3)
        comp.key("Return")
        if wait_until(lambda: comp.window(title) is None, 1.5):
            return check(f"the box '{title}' goes away with Return", True)
    return check(f"the box '{title}' goes away with Return", False)


def picture_of(relay, cover):
    """The window's picture on a covering surface the relay saw: its first
    sub-surface (the held arrow comes next); None before there is one."""
    subs = [s for s in relay.surfaces if s.role == "sub" and s.parent is cover]
    return subs[0] if subs else None


def dismiss_any(comp, titles, timeout):
    """Return on whichever of these boxes comes within timeout, if one does."""
    title = wait_until(lambda: next((t for t in titles if comp.window(t)), None), timeout)
    if title:
        dismiss(comp, title)


# The top of the arrow the game draws while it holds the pointer, copied
# from its kArrow (platform/wayland/wl_pointer.cpp): the tests' own expectation.
ARROW = [
    "#          ",
    "##         ",
    "#o#        ",
    "#oo#       ",
    "#ooo#      ",
    "#oooo#     ",
    "#ooooo#    ",
    "#oooooo#   ",
    "#ooooooo#  ",
    "#oooooooo# ",
    "#ooooo#####",
]


# Each byte as 1 when light, 0 when dark: a light pixel reads 111, a dark one 000.
LIGHT = bytes(int(v >= 0x80) for v in range(256))


def find_arrow(img, scale=1):
    """The tip of the game's arrow in a screenshot of outputs at this scale,
    in the screenshot's pixels: (x, y), or None. Each of the arrow's pixels
    is read at its middle, scaled, as dark or light: a compositor may smooth
    what it scales. Scaled up, the arrow matches at a few neighbouring
    points, whose middle is given."""
    w, h, px = img
    mask = px.translate(LIGHT)
    cells = [(int((dx + 0.5) * scale), int((dy + 0.5) * scale), b"\1\1\1" if c == "o" else b"\0\0\0")
             for dy, row in enumerate(ARROW) for dx, c in enumerate(row) if c != " "]
    # A search from each light pixel, taken as the arrow's first light one.
    wx, wy = next((dx, dy) for dx, dy, v in cells if v == b"\1\1\1")
    span_x, span_y = int(len(ARROW[0]) * scale), int(len(ARROW) * scale)
    # Smoothed, a line one pixel wide may fade past the middle grey here
    # and there; moved by a pixel, many more cells differ.
    spare = len(cells) // 20
    found = []
    i = mask.find(b"\1\1\1")
    while i >= 0:
        if i % 3 == 0:
            x, y = (i // 3) % w - wx, (i // 3) // w - wy
            if 0 <= x <= w - span_x and 0 <= y <= h - span_y:
                wrong = 0
                for dx, dy, v in cells:
                    j = ((y + dy) * w + x + dx) * 3
                    if mask[j:j + 3] != v:
                        wrong += 1
                        if wrong > spare:
                            break
                else:
                    found.append((x, y))
        i = mask.find(b"\1\1\1", i + 1)
    if not found or max(x for x, _ in found) - min(x for x, _ in found) > scale or \
            max(y for _, y in found) - min(y for _, y in found) > scale:
        return None                    # none, or more than one arrow
    return sum(x for x, _ in found) / len(found), sum(y for _, y in found) / len(found)


def arrow_at(comp, name, point, what, cursor=False):
    """Takes screenshot name and checks that it shows the game's arrow with
    its tip at this point of the X screen (nothing without SKORREL_SHOTS)."""
    img = shot(comp, name, cursor)
    if not img:
        return None
    s = img[0] / comp.screen.root[0]   # screenshot pixels an X pixel
    want = (point[0] * s, point[1] * s)
    got = find_arrow(img, comp.scale)
    # At a fractional scale the compositor rounds a position somewhere.
    check(f"{what} ({point} on the X screen, {want[0]:g},{want[1]:g} in the screenshot)",
          got is not None and abs(got[0] - want[0]) < 1 and abs(got[1] - want[1]) < 1, str(got))
    return img

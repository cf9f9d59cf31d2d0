#!/usr/bin/python3
"""Plays the real game in a real Wayland compositor, started headless here.

Usage: e2e.py sway|sway-nolock|mutter GAME PROBE [VPOINTER]
(sway-nolock: a sway that never grants a pointer lock; sway-two, mutter-two:
a second monitor right of the primary; sway-picture: only the README's
picture)

Runs as an ordinary user (run.sh drops root first). The compositor, its
XWayland, the game and the input all run in this process's own runtime
folder; screenshots go to SKORREL_SHOTS.
"""
import json
import re
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TITLE = "Skorrel  Ver1.0   by Vesk"
BEST_TITLE = "Skorrel 記録更新"
REFUSED_TITLE = "Project1"
W, H = 1024, 768
CX, CY = W // 2, H // 2            # 1024 and 768 are even: no half to round
HELD = (CX - 1, CY - 1)            # the point of the 2x2 square nearest the centre
BTN_LEFT = 272
KEY_RETURN = 0xFF0D                # X keysym
KEY_ALT, KEY_F4 = 0xFFE9, 0xFFC1

failures = 0


def log(*a):
    print(f"[{time.strftime('%H:%M:%S')}.{int(time.time() * 1000) % 1000:03d}]", *a, flush=True)


def check(what, ok, detail=""):
    global failures
    if ok:
        log("ok:", what)
    else:
        failures += 1
        print(f"FAIL: {what} {detail}", file=sys.stderr, flush=True)
    return ok


def wait_until(pred, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    return pred()


class Compositor:
    """What both compositors give a test: the session's environment, the
    X windows of XWayland, a mouse and a keyboard."""

    def focused(self):
        return "not known here"

    def __init__(self, work, probe):
        self.work = work
        self.probe = probe
        self.runtime = os.path.join(work, "runtime")
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": work,
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_SESSION_TYPE": "wayland",
            "LANG": os.environ.get("LANG", "C.UTF-8"),
        }
        if "DBUS_SESSION_BUS_ADDRESS" in os.environ:
            self.env["DBUS_SESSION_BUS_ADDRESS"] = os.environ["DBUS_SESSION_BUS_ADDRESS"]
        self.procs = []

    def spawn(self, argv, log_name, **kw):
        out = open(os.path.join(self.work, log_name), "wb")
        p = subprocess.Popen(argv, env=self.env, stdout=out, stderr=subprocess.STDOUT, **kw)
        self.procs.append(p)
        return p

    def wait_socket(self, name, timeout=30):
        return wait_until(lambda: os.path.exists(os.path.join(self.runtime, name)), timeout)


    def x(self, *args):
        r = subprocess.run([self.probe, *args], env=self.env, capture_output=True, text=True)
        return r.returncode, r.stdout.strip()

    def window(self, title):
        code, out = self.x("find", title)
        return out.splitlines()[0] if code == 0 and out else None

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


class Sway(Compositor):
    name = "sway"

    def __init__(self, work, probe, vpointer, locks=True, outputs=1):
        super().__init__(work, probe)
        self.outputs = outputs
        self.vpointer_path = vpointer
        self.env.update(WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman")
        self.config = os.path.join(work, "sway.config")
        with open(self.config, "w") as f:
            f.write(f"output HEADLESS-1 mode {W}x{H} position 0 0\n"
                    "default_border none\ndefault_floating_border none\n"
                    "focus_follows_mouse no\nfloating_minimum_size 1 x 1\n"
                    # sway 1.7 grants no pointer lock without a seat section
                    f"seat * pointer_constraint {'enable' if locks else 'disable'}\n")

    def start(self):
        self.spawn(["sway", "-c", self.config], "sway.log")
        sock = wait_until(lambda: [n for n in os.listdir(self.runtime) if n.startswith("wayland-") and
                                   not n.endswith(".lock")], 15)
        if not sock:
            raise RuntimeError("sway did not start: " + open(os.path.join(self.work, "sway.log")).read()[-2000:])
        self.env["WAYLAND_DISPLAY"] = sock[0]
        ipc = wait_until(lambda: [n for n in os.listdir(self.runtime) if n.startswith("sway-ipc.")], 10)
        self.env["SWAYSOCK"] = os.path.join(self.runtime, ipc[0])
        # XWayland's display, as sway gives it to what it starts.
        where = os.path.join(self.work, "display")
        self.msg("exec", f"printenv DISPLAY > {where}.tmp && mv {where}.tmp {where}")
        if not wait_until(lambda: os.path.exists(where), 10):
            raise RuntimeError("sway did not say where XWayland is")
        self.env["DISPLAY"] = open(where).read().strip()
        # More monitors to the right of the first, the primary.
        for n in range(2, self.outputs + 1):
            self.msg("create_output")
            self.msg("output", f"HEADLESS-{n}", "mode", f"{W}x{H}", "position", str((n - 1) * W), "0")
        log("sway on", self.env["WAYLAND_DISPLAY"], "XWayland on", self.env["DISPLAY"])
        self.mouse = subprocess.Popen([self.vpointer_path], env=self.env, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)
        self.procs.append(self.mouse)
        if self.mouse.stdout.readline().strip() != "ready":
            raise RuntimeError("the virtual pointer did not start")

    def send(self, line):
        self.mouse.stdin.write(line + "\n")
        self.mouse.stdin.flush()

    def sync(self):
        # Handled by the compositor, then long enough for the game's
        # 1 ms samples to see it.
        self.send("sync")
        self.mouse.stdout.readline()
        time.sleep(0.03)

    def rel(self, dx, dy):
        self.send(f"rel {dx} {dy}")
        self.sync()

    def abs(self, x, y):
        self.send(f"abs {x} {y} {W * self.outputs} {H}")
        self.sync()

    def click(self):
        self.send("click")
        self.sync()

    def key(self, keysym):
        names = {KEY_RETURN: "Return"}
        subprocess.run(["wtype", "-k", names[keysym]], env=self.env, check=True)

    def focused(self):
        """The name of the window sway gives the keyboard, for the log."""
        def walk(node):
            if node.get("focused"):
                return node.get("name")
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                found = walk(child)
                if found is not None:
                    return found
            return None
        try:
            return walk(json.loads(self.msg("-t", "get_tree")))
        except ValueError:
            return None

    def msg(self, *args):
        r = subprocess.run(["swaymsg", *args], env=self.env, capture_output=True, text=True)
        return r.stdout

    def screenshot(self, path, cursor=False):
        subprocess.run(["grim", *(["-c"] if cursor else []), "-t", "ppm", path], env=self.env, check=True)
        subprocess.run(["grim", *(["-c"] if cursor else []), path[:-4] + ".png"], env=self.env, check=True)
        return read_ppm(path)


class Mutter(Compositor):
    name = "mutter"

    def __init__(self, work, probe, outputs=1):
        super().__init__(work, probe)
        self.outputs = outputs

    def start(self):
        import dbus  # python3-dbus
        self.env["WAYLAND_DISPLAY"] = "skorrel-wayland"
        self.spawn(["mutter", "--headless", "--wayland", "--wayland-display", "skorrel-wayland",
                    *["--virtual-monitor", f"{W}x{H}"] * self.outputs], "mutter.log")
        if not self.wait_socket("skorrel-wayland"):
            raise RuntimeError("mutter did not start: " + open(os.path.join(self.work, "mutter.log")).read()[-2000:])
        bus = dbus.SessionBus()
        rd = wait_until(lambda: self._remote_desktop(bus), 30, 0.2)
        if not rd:
            raise RuntimeError("no org.gnome.Mutter.RemoteDesktop on the session bus")
        path = rd.CreateSession(dbus_interface="org.gnome.Mutter.RemoteDesktop")
        self.session = dbus.Interface(bus.get_object("org.gnome.Mutter.RemoteDesktop", path),
                                      "org.gnome.Mutter.RemoteDesktop.Session")
        self.session.Start()
        self.dbus = dbus
        display = wait_until(self._x_display_from_log, 20)
        if not display:
            raise RuntimeError("mutter did not say where XWayland is")
        self.env["DISPLAY"] = display
        # Its XWayland wants the cookie mutter wrote beside its socket.
        auth = [n for n in os.listdir(self.runtime) if n.startswith(".mutter-Xwaylandauth")]
        if auth:
            self.env["XAUTHORITY"] = os.path.join(self.runtime, auth[0])
        log("mutter on", self.env["WAYLAND_DISPLAY"], "XWayland on", display)

    def _x_display_from_log(self):
        # "Using public X11 display :N, (using :M for managed services)"
        text = open(os.path.join(self.work, "mutter.log"), errors="replace").read()
        m = re.search(r"public X11 display (:\d+)", text)
        return m.group(1) if m else None

    @staticmethod
    def _remote_desktop(bus):
        try:
            return bus.get_object("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop")
        except Exception:
            return None

    def settle(self):
        time.sleep(0.05)

    def rel(self, dx, dy):
        self.session.NotifyPointerMotionRelative(self.dbus.Double(dx), self.dbus.Double(dy))
        self.settle()

    def abs(self, x, y):
        # Only relative motion without a screen cast: from the top-left corner.
        self.rel(-10 * W, -10 * H)
        self.rel(x, y)

    def click(self):
        self.session.NotifyPointerButton(self.dbus.Int32(BTN_LEFT), True)
        self.session.NotifyPointerButton(self.dbus.Int32(BTN_LEFT), False)
        self.settle()

    def key(self, keysym, *mods):
        keys = (*mods, keysym)
        for k in keys:
            self.session.NotifyKeyboardKeysym(self.dbus.UInt32(k), True)
        for k in reversed(keys):
            self.session.NotifyKeyboardKeysym(self.dbus.UInt32(k), False)
        self.settle()

    def screenshot(self, path, cursor=False):
        return None


def read_ppm(path):
    """A binary PPM (P6): width, height and the RGB bytes."""
    with open(path, "rb") as f:
        data = f.read()
    fields, i = [], 0
    while len(fields) < 4:
        while data[i:i + 1].isspace():
            i += 1
        j = i
        while not data[j:j + 1].isspace():
            j += 1
        fields.append(data[i:j])
        i = j
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[i + 1:i + 1 + w * h * 3]


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


def find_arrow(img):
    """The tip of the game's arrow in a screenshot: (x, y), or None."""
    w, h, px = img
    cells = [(dx, dy, c) for dy, row in enumerate(ARROW) for dx, c in enumerate(row) if c != " "]
    found = []
    for y in range(h - len(ARROW)):
        for x in range(w - len(ARROW[0])):
            i = (y * w + x) * 3
            if px[i] or px[i + 1] or px[i + 2]:
                continue
            ok = True
            for dx, dy, c in cells:
                j = ((y + dy) * w + x + dx) * 3
                v = px[j:j + 3]
                if (c == "#" and v != b"\0\0\0") or (c == "o" and v != b"\xff\xff\xff"):
                    ok = False
                    break
            if ok:
                found.append((x, y))
    return found[0] if len(found) == 1 else None


class Game:
    def __init__(self, comp, binary, folder):
        self.comp = comp
        self.folder = folder
        self.history = os.path.join(folder, "time_atack.txt")
        if not os.path.exists(os.path.join(folder, "skorrel")):
            shutil.copy(binary, os.path.join(folder, "skorrel"))
        self.log_path = os.path.join(folder, "game.log")
        self.proc = subprocess.Popen([os.path.join(folder, "skorrel")], cwd=folder, env=comp.env,
                                     stdout=open(self.log_path, "ab"), stderr=subprocess.STDOUT)
        comp.procs.append(self.proc)
        self.win = wait_until(lambda: comp.window(TITLE), 20)

    def lines(self):
        if not os.path.exists(self.history):
            return []
        with open(self.history, "rb") as f:
            return f.read().split(b"\r\n")[:-1]

    def frame(self):
        code, out = self.comp.x("frame", self.win)
        return [int(v) for v in out.split()] if code == 0 else None

    def press_start(self):
        fr = self.frame()
        if not fr:
            raise RuntimeError("the game's window is gone")
        fx, fy, fw, fh, kx, ky, kw, kh = fr
        self.comp.abs(kx + kw // 5, ky + kh // 2)
        self.comp.click()
        return time.monotonic()

    def wait_exit(self, timeout=5):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def output(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()


def dismiss(comp, box, title):
    """Return on the box, as a player would, once the compositor had time
    to give it the focus; a player whose box has not got it clicks on it
    first, and the log says so."""
    for attempt in range(4):
        time.sleep(0.7)
        if attempt >= 2:
            log(f"the box '{title}' did not have the focus ({comp.focused()}): clicked on it")
            code, out = comp.x("frame", box)
            if code == 0:
                fx, fy, fw, fh, kx, ky, kw, kh = (int(v) for v in out.split())
                comp.abs(kx + kw // 2, ky + kh // 4)
                comp.click()
        comp.key(KEY_RETURN)
        if wait_until(lambda: comp.window(title) is None, 1.5):
            return check(f"the box '{title}' goes away with Return", True)
    log("still there; focus:", comp.focused())
    return check(f"the box '{title}' goes away with Return", False)


def shot(comp, name, cursor=False):
    shots = os.environ.get("SKORREL_SHOTS")
    if not shots:
        return None
    os.makedirs(shots, exist_ok=True)
    return comp.screenshot(os.path.join(shots, f"{comp.name}-{name}.ppm"), cursor)


def shove_during_count_in(comp, pressed):
    """Tries to leave the held point: a corner, then far the other way."""
    time.sleep(max(0.0, pressed + 1.0 - time.monotonic()))
    comp.rel(-10 * W, -10 * H)
    comp.rel(3 * W, 2 * H)


def wait_go(pressed):
    wait_until(lambda: time.monotonic() - pressed > 3.9, 6)


def play(comp, game_bin):
    folder = tempfile.mkdtemp(prefix="game-", dir=comp.work)
    game = Game(comp, game_bin, folder)
    if not check("the window appears", game.win is not None, game.output() if not game.win else ""):
        return
    fr = game.frame()
    log("frame", fr)
    check("client area 248x48", fr and fr[6:8] == [248, 48], str(fr))
    # The game asks for the frame's corner at (W - FW) / 2, (H - FH) / 2.
    check("the window is centred, frame included", fr and abs(2 * fr[0] - (W - fr[2])) <= 2 and
          abs(2 * fr[1] - (H - fr[3])) <= 2, str(fr))
    shot(comp, "1-start")

    # Race 1: held against a corner and a long move. After go!, a move
    # left by one less than the held x is a near miss; with corners and
    # margins it leaves the race running: the held x is not below CX - 1.
    pressed = game.press_start()
    time.sleep(0.5)
    img = shot(comp, "2-held")
    if img:
        check(f"the pointer is shown at the held point {HELD}", find_arrow(img) == HELD, str(find_arrow(img)))
    shove_during_count_in(comp, pressed)
    time.sleep(0.3)
    img = shot(comp, "3-count-in")
    if img:
        check("still shown there after moves to a corner and far away", find_arrow(img) == HELD,
              str(find_arrow(img)))
    wait_go(pressed)
    img = shot(comp, "4-go", cursor=True)
    if img:
        check(f"after go! the pointer is at {HELD}", find_arrow(img) == HELD, str(find_arrow(img)))
    comp.rel(-(HELD[0] - 1), 0)   # (1, held y): one short of the left edge
    comp.rel(0, -10 * H)          # (1, 0): the top's margin
    comp.rel(2, 0)                # (3, 0): top
    comp.rel(10 * W, 0)           # top-right corner
    comp.rel(0, 3)                # (maxX, 3): right
    comp.rel(0, 10 * H)           # bottom-right corner
    comp.rel(-3, 0)               # (maxX - 3, maxY): bottom
    comp.rel(-10 * W, 0)          # bottom-left corner
    comp.rel(0, -2)               # (0, maxY - 2): the left edge's margin
    time.sleep(0.6)
    check("a near miss, corners and margins leave the race running", game.lines() == [] and game.proc.poll() is None,
          str(game.lines()))
    comp.rel(0, -1)               # (0, maxY - 3): left, the fourth edge
    if check("the fourth edge ends the race and records it", wait_until(lambda: len(game.lines()) == 1, 3),
             str(game.lines())):
        first = int(game.lines()[0].split(b" ")[2])
        log("race 1:", game.lines()[0].decode())
        check("race 1 took at least its waits", first >= 600, str(first))
    else:
        first = 10 ** 6

    # Race 2: shoved during the count-in again; after go! one move left by
    # exactly the held x touches the left edge. Held anywhere else (or not
    # held at all) the sweep that follows never touches it. Quick: a new best.
    time.sleep(0.3)
    pressed = game.press_start()
    shove_during_count_in(comp, pressed)
    wait_go(pressed)
    comp.rel(-HELD[0], 0)         # (0, held y): left
    comp.rel(0, -10 * H)          # top-left corner
    comp.rel(100, 0)              # top
    comp.rel(10 * W, 0)
    comp.rel(0, 100)              # right
    comp.rel(0, 10 * H)
    comp.rel(-100, 0)             # bottom
    box = wait_until(lambda: comp.window(BEST_TITLE), 5)
    if check(f"a box titled '{BEST_TITLE}'", box is not None):
        time.sleep(0.3)
        shot(comp, "5-new-best")
        check("nothing recorded while the box is open", len(game.lines()) == 1)
        dismiss(comp, box, BEST_TITLE)
    if check("race 2 recorded", wait_until(lambda: len(game.lines()) == 2, 3)):
        log("race 2:", game.lines()[1].decode())
        check("race 2 is the new best", int(game.lines()[1].split(b" ")[2]) < first)

    # Race 3: a near miss of the top edge from the held y, then the other
    # three; the top only after ten seconds: refused, the file unchanged.
    before = game.lines()
    time.sleep(0.3)
    pressed = game.press_start()
    wait_go(pressed)
    went = time.monotonic()
    comp.rel(0, -(HELD[1] - 1))   # (held x, 1)
    comp.rel(-10 * W, 0)          # top-left corner
    comp.rel(0, 100)              # left
    comp.rel(0, 10 * H)
    comp.rel(100, 0)              # bottom
    comp.rel(10 * W, 0)
    comp.rel(0, -100)             # right
    time.sleep(0.6)
    check("a near miss of the top leaves the race running", game.lines() == before and
          comp.window(REFUSED_TITLE) is None)
    time.sleep(max(0.0, went + 10.3 - time.monotonic()))
    comp.rel(0, -10 * H)          # top-right corner
    comp.rel(-100, 0)             # top, after more than ten seconds
    box = wait_until(lambda: comp.window(REFUSED_TITLE), 5)
    if check(f"a box titled '{REFUSED_TITLE}' after more than ten seconds", box is not None):
        time.sleep(0.3)
        shot(comp, "6-refused")
        dismiss(comp, box, REFUSED_TITLE)
    time.sleep(0.3)
    check("a refused run leaves the file as it was", game.lines() == before)

    # Closed during the count-in, then during the race: status 0, nothing
    # written.
    pressed = game.press_start()
    time.sleep(1.2)
    comp.x("close", game.win)
    status = game.wait_exit()
    check("closed during the count-in: exit status 0", status == 0, str(status))
    check("nothing written by the closed race", game.lines() == before)

    game = Game(comp, game_bin, folder)
    if not check("the game starts again", game.win is not None):
        return
    shot(comp, "7-restart")
    pressed = game.press_start()
    wait_until(lambda: time.monotonic() - pressed > 3.9, 6)
    comp.rel(-HELD[0], 0)
    comp.rel(0, -10 * H)
    comp.rel(100, 0)
    close_during_race(comp, game)
    status = game.wait_exit()
    check("closed during the race: exit status 0", status == 0, str(status))
    check("nothing written by the closed race", game.lines() == before)
    if "pointer constraints" in game.output():
        check("no complaint about pointer constraints", False, game.output())


def play_unheld(comp, game_bin):
    """A compositor that never grants the lock: the races still run, and the
    game says why the pointer is not held, once."""
    folder = tempfile.mkdtemp(prefix="game-", dir=comp.work)
    game = Game(comp, game_bin, folder)
    if not check("the window appears", game.win is not None, game.output() if not game.win else ""):
        return
    for n in (1, 2):
        pressed = game.press_start()
        shove_during_count_in(comp, pressed)
        wait_go(pressed)
        img = shot(comp, f"unheld-{n}", cursor=True)
        comp.rel(-10 * W, 0)
        comp.rel(0, -100)             # left
        comp.rel(0, -10 * H)
        comp.rel(100, 0)              # top
        comp.rel(10 * W, 0)
        comp.rel(0, 100)              # right
        comp.rel(0, 10 * H)
        comp.rel(-100, 0)             # bottom
        if n == 2:
            box = wait_until(lambda: comp.window(BEST_TITLE) or comp.window(REFUSED_TITLE), 3)
            if box:
                dismiss(comp, box, BEST_TITLE if comp.window(BEST_TITLE) else REFUSED_TITLE)
        check(f"race {n} runs to its end without a hold", wait_until(lambda: len(game.lines()) == n, 3),
              str(game.lines()))
        if img:
            check("the pointer is not shown at the held point", find_arrow(img) != HELD, str(find_arrow(img)))
    said = game.output().count("has not locked the pointer")
    check("the game says once why the pointer is not held", said == 1, game.output())
    comp.x("close", game.win)
    check("closed: exit status 0", game.wait_exit() == 0)


def play_two_monitors(comp, game_bin):
    """A second monitor right of the primary: during the race the shared
    edge stops the pointer and counts."""
    folder = tempfile.mkdtemp(prefix="game-", dir=comp.work)
    game = Game(comp, game_bin, folder)
    if not check("the window appears", game.win is not None, game.output() if not game.win else ""):
        return
    fr = game.frame()
    check("the window is centred on the primary monitor", fr and abs(2 * fr[0] - (W - fr[2])) <= 2, str(fr))
    for n in (1, 2):
        pressed = game.press_start()
        wait_go(pressed)
        comp.rel(5 * W, 0)            # past the shared edge: stopped at maxX
        comp.rel(0, -10 * H)          # top-right corner of the primary
        comp.rel(-100, 0)             # top
        comp.rel(-10 * W, 0)          # top-left corner
        comp.rel(0, 100)              # left
        comp.rel(0, 10 * H)
        comp.rel(100, 0)              # bottom
        if n == 2:
            box = wait_until(lambda: comp.window(BEST_TITLE) or comp.window(REFUSED_TITLE), 3)
            if box:
                dismiss(comp, box, BEST_TITLE if comp.window(BEST_TITLE) else REFUSED_TITLE)
        check(f"race {n}: the edge shared with the other monitor stops the pointer and counts",
              wait_until(lambda: len(game.lines()) == n, 3), str(game.lines()))
        shot(comp, f"two-monitors-{n}")
    time.sleep(0.5)
    comp.x("close", game.win)
    status = game.wait_exit()
    check("closed: exit status 0", status == 0, f"{status} {comp.window(BEST_TITLE)} {comp.window(REFUSED_TITLE)} {game.output()}")


def picture(comp, game_bin):
    """The README's picture: the window during the count-in, held pointer
    and all, cut from the screen."""
    folder = tempfile.mkdtemp(prefix="game-", dir=comp.work)
    game = Game(comp, game_bin, folder)
    if not check("the window appears", game.win is not None, game.output() if not game.win else ""):
        return
    fr = game.frame()
    pressed = game.press_start()
    wait_until(lambda: time.monotonic() - pressed > 2.2, 4)
    shot(comp, "count-in")
    log("window frame", fr)
    print("crop", fr[0] - 40, fr[1] - 40, fr[2] + 80, fr[3] + 80)


def close_during_race(comp, game):
    if isinstance(comp, Mutter):
        # The compositor's close key, on the surface that has the focus.
        comp.key(KEY_F4, KEY_ALT)
    else:
        # sway's kill: the focused window, which is the covering surface.
        comp.msg("kill")


def main():
    kind, game_bin, probe = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix=f"skorrel-{kind}-")
    if kind.startswith("sway"):
        comp = Sway(work, probe, sys.argv[4], locks=kind != "sway-nolock", outputs=2 if kind == "sway-two" else 1)
    else:
        comp = Mutter(work, probe, outputs=2 if kind == "mutter-two" else 1)
    try:
        comp.start()
        if kind == "sway-nolock":
            play_unheld(comp, game_bin)
        elif kind in ("sway-two", "mutter-two"):
            play_two_monitors(comp, game_bin)
        elif kind == "sway-picture":
            picture(comp, game_bin)
        else:
            play(comp, game_bin)
    except Exception as e:  # a broken session is a failure, not a crash
        check("the session runs", False, repr(e))
    finally:
        comp.stop()
        if failures:
            for name in sorted(os.listdir(work)) + [os.path.join(d, "game.log") for d in os.listdir(work)
                                                     if d.startswith("game-")]:
                if name.endswith(".log") and os.path.exists(os.path.join(work, name)):
                    sys.stderr.write(f"--- {name}\n" + open(os.path.join(work, name), errors="replace").read()[-3000:])
        if not os.environ.get("SKORREL_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{failures} check(s) failed", file=sys.stderr)
        return 1
    log("all checks passed")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    sys.exit(main())

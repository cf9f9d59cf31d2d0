#!/usr/bin/python3
"""Plays the real game in a real Wayland compositor, started headless here.

Usage: e2e.py KIND GAME PROBE [VPOINTER] [--size=WxH] [--scale=S] [--short]
              [--device=rel|abs]
KIND: sway, mutter or kwin; sway-nolock (a sway that never grants a pointer
lock); sway-two, mutter-two, kwin-two (a second monitor right of the
primary); sway-picture (only the README's picture). --size is the output's
mode in pixels (1920x1080 unless given), --scale its scale; --short plays
one race instead of the whole scenario; --device says what plays the races:
a mouse (rel, relative motion, the default) or a tablet (abs, absolute
positions, as a virtual machine's pointer or a remote desktop gives).

Runs as an ordinary user (run.sh drops root first). The compositor, its
XWayland, the game and the input all run in this process's own runtime
folder; screenshots go to SKORREL_SHOTS.

Every expectation comes from the X screen the game measures (XWayland's
primary monitor), and every move is given in its pixels: each compositor's
unit of relative motion is measured first, on an X window over the screen.
"""
import fractions
import json
import re
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

TITLE = "Skorrel  Ver1.0   by Vesk"
BEST_TITLE = "Skorrel 記録更新"
REFUSED_TITLE = "Project1"
BTN_LEFT = 272
# The X screen as the game sees it, set once the compositor runs (measure).
W = H = CX = CY = 0
HELD = (0, 0)

failures = 0
session = None          # the compositor, once it runs: it may say who has the keyboard


def log(*a):
    print(f"[{time.strftime('%H:%M:%S')}.{int(time.time() * 1000) % 1000:03d}]", *a, flush=True)


def check(what, ok, detail=""):
    global failures
    if ok:
        log("ok:", what)
    else:
        failures += 1
        # "Skorrel", the covering surface, means a race (or its count-in) runs.
        focus = f" (keyboard: {session.focused()})" if session and session.tells_focus else ""
        print(f"FAIL: {what} {detail}{focus}", file=sys.stderr, flush=True)
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
    """What every compositor gives a test: the session's environment, the
    X windows of XWayland, a mouse moved in X pixels and a keyboard."""
    ux = uy = 1.0        # X pixels per unit of relative motion (calibrate)
    root = (0, 0)        # the X root window's size

    tells_focus = False  # whether focused() knows

    def focused(self):
        """The title of the window with the keyboard, for the log."""
        return "not known here"

    def __init__(self, work, probe, size, scale, outputs):
        self.work = work
        self.probe = probe
        self.size = size
        self.scale = scale
        self.outputs = outputs
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

    @property
    def logical(self):
        """The output's size in the compositor's logical pixels."""
        return round(self.size[0] / self.scale), round(self.size[1] / self.scale)

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

    nox = False          # a session without XWayland: windows come from the compositor

    def window(self, title):
        code, out = self.x("find", title)
        return out.splitlines()[0] if code == 0 and out else None

    def frame(self, win):
        """The window's frame and client area: x y w h, x y w h."""
        code, out = self.x("frame", win)
        return [int(v) for v in out.split()] if code == 0 else None

    def close_window(self, win):
        """As the window's close button does."""
        self.x("close", win)

    def screen(self):
        """The primary monitor (x, y, w, h) and the root's size, as XWayland has them."""
        code, out = self.x("screen")
        v = [int(n) for n in out.split()] if code == 0 else []
        return (v[:4], v[4:6]) if len(v) == 6 else (None, None)

    def rel(self, dx, dy):
        """Relative motion by dx, dy X pixels."""
        self.move(dx / self.ux, dy / self.uy)

    device = "rel"       # what plays the races: "rel" a mouse, "abs" a tablet
    at = (0, 0)          # where the pointer is on the primary, X pixels

    def to(self, x, y):
        """Towards X pixel (x, y) of the primary, which may lie beyond its
        edges: a mouse moves by the difference and is stopped at the edge,
        a tablet points at the nearest pixel on the screen."""
        on = (min(max(x, 0), W - 1), min(max(y, 0), H - 1))
        if self.device == "abs":
            self.point(*on)
        else:
            self.rel(x - self.at[0], y - self.at[1])
        self.at = on

    def calibrate(self):
        """Measures the unit of relative motion in X pixels: over an X window
        covering the screen XWayland knows where the pointer is. Edges are
        reached away from the top-left corner, from which KWin pushes the
        pointer back a pixel."""
        track = subprocess.Popen([self.probe, "track"], env=self.env, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        try:
            if track.stdout.readline().strip() != "ready":
                raise RuntimeError("x11_probe track did not start")
            time.sleep(0.3)

            def at():
                time.sleep(0.15)
                track.stdin.write("\n")
                track.stdin.flush()
                return [int(v) for v in track.stdout.readline().split()]

            n = 200
            self.move(-100000, 0)
            left = at()
            self.move(n, 0)
            moved = at()
            self.move(0, -100000)
            top = at()
            self.move(0, n)
            down = at()
            self.move(100000, 0)
            right = at()
            self.move(0, 100000)
            bottom = at()
        finally:
            track.stdin.close()
            track.wait(5)
        # XWayland rounds the position to whole pixels: the ratio is a simple one.
        fx = fractions.Fraction(moved[0] - left[0], n).limit_denominator(6)
        fy = fractions.Fraction(down[1] - top[1], n).limit_denominator(6)
        if fx <= 0 or fy <= 0:
            raise RuntimeError(f"the pointer did not move over the X screen: {left} {moved} {top} {down}")
        self.ux, self.uy = float(fx), float(fy)
        log(f"relative motion: {fx} x {fy} X pixels a unit ({moved[0] - left[0]} and {down[1] - top[1]} for {n});"
            f" the pointer stops at x {left[0]} and {right[0]}, y {top[1]} and {bottom[1]}")

    def key(self, *names):
        """Presses the keys in order, releases them in reverse."""
        raise NotImplementedError

    def screenshot(self, path, cursor=False):
        return None

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


class VPointer:
    """tests/wayland/vpointer: the mouse (and in KWin the keyboard) of
    sway and KWin."""

    def start_input(self, path):
        self.mouse = subprocess.Popen([path], env=self.env, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)
        self.procs.append(self.mouse)
        said = self.mouse.stdout.readline().strip()
        if not said.startswith("ready"):
            raise RuntimeError("the input client did not start")
        log("input client:", said)

    def send(self, line):
        self.mouse.stdin.write(line + "\n")
        self.mouse.stdin.flush()

    def sync(self):
        # Handled by the compositor, then long enough for the game's
        # 1 ms samples to see it.
        self.send("sync")
        self.mouse.stdout.readline()
        time.sleep(0.03)

    def move(self, du, dv):
        self.send(f"rel {du} {dv}")
        self.sync()

    def abs(self, x, y):
        self.point(x, y)

    def point(self, x, y):
        # Both take the layout in their logical pixels, the unit of relative motion.
        self.send(f"abs {x / self.ux} {y / self.uy} {self.root[0] / self.ux} {self.root[1] / self.uy}")
        self.sync()

    def click(self):
        self.send("click")
        self.sync()


class Sway(VPointer, Compositor):
    name = "sway"
    tells_focus = True

    def __init__(self, work, probe, vpointer, size, scale, outputs, locks=True, nox=False):
        super().__init__(work, probe, size, scale, outputs)
        self.nox = nox
        self.vpointer_path = vpointer
        self.env.update(WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman")
        self.config = os.path.join(work, "sway.config")
        with open(self.config, "w") as f:
            f.write(f"output HEADLESS-1 mode {size[0]}x{size[1]} position 0 0 scale {scale:g}\n"
                    "default_border none\ndefault_floating_border none\n"
                    "focus_follows_mouse no\nfloating_minimum_size 1 x 1\n"
                    # sway 1.7 grants no pointer lock without a seat section
                    f"seat * pointer_constraint {'enable' if locks else 'disable'}\n" +
                    ("xwayland disable\n" if nox else ""))

    def start(self):
        self.spawn(["sway", "-c", self.config], "sway.log")
        sock = wait_until(lambda: [n for n in os.listdir(self.runtime) if n.startswith("wayland-") and
                                   not n.endswith(".lock")], 15)
        if not sock:
            raise RuntimeError("sway did not start: " + open(os.path.join(self.work, "sway.log")).read()[-2000:])
        self.env["WAYLAND_DISPLAY"] = sock[0]
        ipc = wait_until(lambda: [n for n in os.listdir(self.runtime) if n.startswith("sway-ipc.")], 10)
        self.env["SWAYSOCK"] = os.path.join(self.runtime, ipc[0])
        if not self.nox:
            # XWayland's display, as sway gives it to what it starts.
            where = os.path.join(self.work, "display")
            self.msg("exec", f"printenv DISPLAY > {where}.tmp && mv {where}.tmp {where}")
            if not wait_until(lambda: os.path.exists(where), 10):
                raise RuntimeError("sway did not say where XWayland is")
            self.env["DISPLAY"] = open(where).read().strip()
        # More monitors to the right of the first, the primary.
        for n in range(2, self.outputs + 1):
            self.msg("create_output")
            self.msg("output", f"HEADLESS-{n}", "mode", f"{self.size[0]}x{self.size[1]}", "position",
                     str((n - 1) * self.logical[0]), "0")
        log("sway on", self.env["WAYLAND_DISPLAY"], "XWayland on", self.env.get("DISPLAY", "none"))
        self.start_input(self.vpointer_path)

    def key(self, *names):
        # One wtype a key: each makes a new keyboard, whose keymap XWayland
        # takes only after a while; without the wait the key is often lost.
        mods = {"Alt": "alt", "Shift": "shift"}
        args = [a for n in names[:-1] for a in ("-M", mods[n])] + ["-k", names[-1]] + \
               [a for n in reversed(names[:-1]) for a in ("-m", mods[n])]
        subprocess.run(["wtype", "-s", "300", *args], env=self.env, check=True)

    def close_covering_surface(self):
        # sway's kill: the focused window, which is the covering surface.
        self.msg("kill")

    def focused(self):
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

    # Without X, the windows as sway's tree has them; a window is its id.
    def _windows(self):
        def walk(node):
            if node.get("type") in ("con", "floating_con") and node.get("name"):
                yield node
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                yield from walk(child)
        try:
            return list(walk(json.loads(self.msg("-t", "get_tree"))))
        except ValueError:
            return []

    def window(self, title):
        if not self.nox:
            return super().window(title)
        return next((str(n["id"]) for n in self._windows() if n["name"] == title), None)

    def frame(self, win):
        if not self.nox:
            return super().frame(win)
        n = next((n for n in self._windows() if str(n["id"]) == win), None)
        if not n:
            return None
        r, w = n["rect"], n["window_rect"]
        return [r["x"], r["y"], r["width"], r["height"], r["x"] + w["x"], r["y"] + w["y"], w["width"], w["height"]]

    def close_window(self, win):
        if not self.nox:
            return super().close_window(win)
        self.msg(f"[con_id={win}]", "kill")

    def screen(self):
        if not self.nox:
            return super().screen()
        try:
            r = next(o["rect"] for o in json.loads(self.msg("-t", "get_outputs")) if o.get("active"))
        except (ValueError, StopIteration):
            return None, None
        return [r["x"], r["y"], r["width"], r["height"]], (r["width"], r["height"])

    def screenshot(self, path, cursor=False):
        subprocess.run(["grim", *(["-c"] if cursor else []), "-t", "ppm", path], env=self.env, check=True)
        subprocess.run(["grim", *(["-c"] if cursor else []), path[:-4] + ".png"], env=self.env, check=True)
        return read_ppm(path)


class KWin(VPointer, Compositor):
    name = "kwin"
    tells_focus = True
    # Linux key codes, which fake input's keyboard_key takes.
    KEYS = {"Return": 28, "Alt": 56, "F4": 62, "Shift": 42, "space": 57}

    def __init__(self, work, probe, vpointer, size, scale, outputs, nox=False):
        super().__init__(work, probe, size, scale, outputs)
        self.nox = nox
        self.vpointer_path = vpointer
        # Fake input and screenshots for any client of this session.
        self.env.update(KWIN_WAYLAND_NO_PERMISSION_CHECKS="1", KWIN_SCREENSHOT_NO_PERMISSION_CHECKS="1")

    def start(self):
        # A copy: the packaged binary carries a file capability that an
        # ordinary user may be refused; the copy keeps its name, by which
        # KWin picks its platform.
        kwin = os.path.join(self.work, "kwin_wayland")
        # No hot corners or screen edges: the harness's moves reach every
        # corner, and an overview opened there takes the clicks meant for
        # the game.
        os.makedirs(os.path.join(self.work, ".config"), exist_ok=True)
        with open(os.path.join(self.work, ".config", "kwinrc"), "w") as f:
            f.write("[ElectricBorders]\n" + "".join(f"{e}=None\n" for e in (
                "Top", "TopRight", "Right", "BottomRight", "Bottom", "BottomLeft", "Left", "TopLeft")) +
                "[Effect-overview]\nBorderActivate=9\n[Effect-windowview]\nBorderActivateAll=9\n"
                "[TouchEdges]\nTop=None\nRight=None\nBottom=None\nLeft=None\n")
        shutil.copy(shutil.which("kwin_wayland"), kwin)
        where = os.path.join(self.work, "display")
        script = os.path.join(self.work, "tell-display")
        with open(script, "w") as f:
            f.write(f"#!/bin/sh\necho \"$DISPLAY\" > {where}.tmp && mv {where}.tmp {where}\n")
        os.chmod(script, 0o755)
        self.env["WAYLAND_DISPLAY"] = "skorrel-kwin"
        lw, lh = self.logical
        self.spawn([kwin, "--virtual", *([] if self.nox else ["--xwayland"]), "--socket", "skorrel-kwin", "--width", str(lw),
                    "--height", str(lh), "--scale", f"{self.scale:g}", "--output-count", str(self.outputs),
                    script], "kwin.log")
        # The script runs inside the session: it sees XWayland's display.
        if not wait_until(lambda: os.path.exists(where), 30):
            raise RuntimeError("KWin did not start its session: " +
                               open(os.path.join(self.work, "kwin.log"), errors="replace").read()[-2000:])
        if not self.nox:
            self.env["DISPLAY"] = open(where).read().strip()
        log("KWin on", self.env["WAYLAND_DISPLAY"], "XWayland on", self.env.get("DISPLAY", "none"))
        self.start_input(self.vpointer_path)
        import dbus  # python3-dbus
        self.dbus = dbus
        self.shooter = dbus.Interface(dbus.SessionBus().get_object("org.kde.KWin", "/org/kde/KWin/ScreenShot2"),
                                      "org.kde.KWin.ScreenShot2")

    def key(self, *names):
        self.send("key " + " ".join(str(self.KEYS[n]) for n in names))
        self.sync()

    def abs(self, x, y):
        # From the top-left corner, as a mouse moves, and a pixel there and
        # back at the end: XWayland in KWin was seen to add the last relative
        # move once more, a second or so on, so that a long one took the
        # pointer off the button between press and release.
        self.move(-100000, -100000)
        self.rel(x, y)
        self.rel(1, 0)
        self.rel(-1, 0)

    def close_covering_surface(self):
        # KWin's close key, on the surface that has the focus.
        self.key("Alt", "F4")

    def script(self, body):
        """Runs a KWin script; what it says, print(say(...)), comes back
        from KWin's log."""
        self.asked = getattr(self, "asked", 0) + 1
        tag = f"skorrel-{self.asked}"
        path = os.path.join(self.work, f"{tag}.js")
        with open(path, "w") as f:
            f.write(f'function say(s) {{ print("{tag}:" + s + ":"); }}\n{body}\n')
        bus = self.dbus.SessionBus()
        scripting = self.dbus.Interface(bus.get_object("org.kde.KWin", "/Scripting"), "org.kde.kwin.Scripting")
        number = int(scripting.loadScript(path))
        self.dbus.Interface(bus.get_object("org.kde.KWin", f"/{number}"), "org.kde.kwin.Script").run()
        said = wait_until(lambda: re.search(rf"{tag}:(.*):$", open(
            os.path.join(self.work, "kwin.log"), errors="replace").read(), re.M), 2)
        scripting.unloadScript(path)
        return said.group(1) if said else None

    def focused(self):
        return self.script('say(workspace.activeClient ? workspace.activeClient.caption : "");')

    # Without X, the windows as KWin's scripts see them; a window is its
    # caption, whose double spaces KWin drops.
    def _windows(self):
        said = self.script(
            'var out = []; var cs = workspace.clientList();'
            'for (var i = 0; i < cs.length; ++i) { var c = cs[i], f = c.frameGeometry,'
            ' g = c.clientGeometry || f;'
            ' out.push(c.caption + "\\t" + [f.x, f.y, f.width, f.height, g.x, g.y, g.width, g.height].join(" ")); }'
            'say(out.join("|"));')
        found = {}
        for item in (said or "").split("|"):
            if "\t" in item:
                caption, geometry = item.split("\t")
                found[caption] = [round(float(v)) for v in geometry.split()]
        return found

    def window(self, title):
        if not self.nox:
            return super().window(title)
        title = " ".join(title.split())
        return title if title in self._windows() else None

    def frame(self, win):
        return super().frame(win) if not self.nox else self._windows().get(win)

    def close_window(self, win):
        if not self.nox:
            return super().close_window(win)
        self.script('var cs = workspace.clientList(); for (var i = 0; i < cs.length; ++i)'
                    f' if (cs[i].caption == {json.dumps(win)}) cs[i].closeWindow(); say("");')

    def activate(self, caption):
        self.script('var cs = workspace.clientList(); for (var i = 0; i < cs.length; ++i)'
                    f' if (cs[i].caption == {json.dumps(caption)}) workspace.activeClient = cs[i]; say("");')

    def screen(self):
        if not self.nox:
            return super().screen()
        w, h = self.logical
        return [0, 0, w, h], (w, h)

    def screenshot(self, path, cursor=False):
        r, w = os.pipe()
        try:
            info = self.shooter.CaptureWorkspace({"include-cursor": self.dbus.Boolean(cursor),
                                                  "native-resolution": self.dbus.Boolean(True)},
                                                 self.dbus.types.UnixFd(w))
        finally:
            os.close(w)
        with os.fdopen(r, "rb") as f:
            data = f.read()
        width, height, stride = int(info["width"]), int(info["height"]), int(info["stride"])
        # QImage's 32-bit formats: B, G, R, A in memory.
        rgb = bytearray(width * height * 3)
        for y in range(height):
            row = data[y * stride:y * stride + width * 4]
            o = y * width * 3
            rgb[o:o + width * 3:3] = row[2::4]
            rgb[o + 1:o + width * 3:3] = row[1::4]
            rgb[o + 2:o + width * 3:3] = row[0::4]
        rgb = bytes(rgb)
        with open(path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (width, height) + rgb)
        write_png(path[:-4] + ".png", width, height, rgb)
        return width, height, rgb


class Mutter(Compositor):
    name = "mutter"
    KEYSYMS = {"Return": 0xFF0D, "Alt": 0xFFE9, "F4": 0xFFC1, "Shift": 0xFFE1}

    def start(self):
        import dbus  # python3-dbus
        self.dbus = dbus
        self.env["WAYLAND_DISPLAY"] = "skorrel-wayland"
        # Absolute motion comes through a screen cast, which needs PipeWire
        # and its session manager: this session's own.
        self.spawn(["pipewire"], "pipewire.log")
        self.spawn(["mutter", "--headless", "--wayland", "--wayland-display", "skorrel-wayland",
                    *["--virtual-monitor", f"{self.size[0]}x{self.size[1]}"] * self.outputs], "mutter.log")
        if not self.wait_socket("pipewire-0", 10):
            raise RuntimeError("pipewire did not start: " + open(os.path.join(self.work, "pipewire.log")).read()[-2000:])
        self.spawn(["wireplumber"], "wireplumber.log")
        if not self.wait_socket("skorrel-wayland"):
            raise RuntimeError("mutter did not start: " + open(os.path.join(self.work, "mutter.log")).read()[-2000:])
        bus = dbus.SessionBus()
        display = wait_until(self._x_display_from_log, 20)
        if not display:
            raise RuntimeError("mutter did not say where XWayland is")
        self.env["DISPLAY"] = display
        # Its XWayland wants the cookie mutter wrote beside its socket.
        auth = [n for n in os.listdir(self.runtime) if n.startswith(".mutter-Xwaylandauth")]
        if auth:
            self.env["XAUTHORITY"] = os.path.join(self.runtime, auth[0])
        # Its virtual monitors come one by one: all of them before the game.
        if not wait_until(lambda: (self.screen()[1] or [0])[0] == self.size[0] * self.outputs, 10, 0.1):
            raise RuntimeError(f"XWayland's screen is not {self.outputs} monitors wide: {self.screen()}")
        if self.scale != 1:
            self._set_scale(bus)
        # Only now: a scale that changes the monitor's layout (in logical
        # pixels) closes its screen cast, and the input session with it.
        self._input_session(bus)
        # Its keyboard is made at the first key, which it loses: a Shift.
        self.key("Shift")
        log("mutter on", self.env["WAYLAND_DISPLAY"], "XWayland on", display)

    def _input_session(self, bus):
        """The remote desktop session that moves the pointer and presses the
        keys. A screen cast of the primary monitor, recorded before it
        starts, lets it take absolute motion too, in that stream's pixels."""
        dbus = self.dbus
        rd = wait_until(lambda: self._remote_desktop(bus), 30, 0.2)
        if not rd:
            raise RuntimeError("no org.gnome.Mutter.RemoteDesktop on the session bus")
        path = rd.CreateSession(dbus_interface="org.gnome.Mutter.RemoteDesktop")
        rd_session = bus.get_object("org.gnome.Mutter.RemoteDesktop", path)
        self.session = dbus.Interface(rd_session, "org.gnome.Mutter.RemoteDesktop.Session")
        sid = rd_session.Get("org.gnome.Mutter.RemoteDesktop.Session", "SessionId",
                             dbus_interface="org.freedesktop.DBus.Properties")
        sc = bus.get_object("org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast")
        sc_path = sc.CreateSession(dbus.Dictionary({"remote-desktop-session-id": sid}, signature="sv"),
                                   dbus_interface="org.gnome.Mutter.ScreenCast")
        dc = dbus.Interface(bus.get_object("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig"),
                            "org.gnome.Mutter.DisplayConfig")
        _, _, logical, _ = dc.GetCurrentState()
        primary = next(m for m in logical if m[4])
        self.stream = bus.get_object("org.gnome.Mutter.ScreenCast", sc_path).RecordMonitor(
            primary[5][0][0], dbus.Dictionary({}, signature="sv"), dbus_interface="org.gnome.Mutter.ScreenCast.Session")
        self.session.Start()
        # The stream has the mode's pixels at any scale and layout; the X
        # screen has the layout's, which are those only when laid out in
        # physical pixels.
        mon = self.screen()[0]
        self.stream_px = (self.size[0] / mon[2], self.size[1] / mon[3])

    def _set_scale(self, bus):
        """Mutter takes a scale only after it runs, through DisplayConfig;
        XWayland's screen follows later."""
        dc = self.dbus.Interface(bus.get_object("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig"),
                                 "org.gnome.Mutter.DisplayConfig")
        serial, monitors, _, props = dc.GetCurrentState()
        config, x = [], 0
        for connector, modes, _ in monitors:
            mode = next(m for m in modes if m[6].get("is-current"))
            if self.scale not in [float(s) for s in mode[5]]:
                raise RuntimeError(f"mutter offers no scale {self.scale} for {mode[0]}: {list(mode[5])}")
            config.append((x, 0, self.dbus.Double(self.scale), self.dbus.UInt32(0), x == 0,
                           [(connector[0], mode[0], {})]))
            x += mode[1]
        dc.ApplyMonitorsConfig(serial, 1, config, {})   # 1: temporary
        # Laid out in physical pixels (layout-mode 2) the screen keeps the
        # mode's size, in logical ones (1) it shrinks by the scale.
        physical = int(props.get("layout-mode", 1)) == 2
        want = list(self.size) if physical else list(self.logical)
        scaled = wait_until(lambda: float(dc.GetCurrentState()[2][0][2]) == self.scale, 10, 0.1)
        got = wait_until(lambda: self.screen()[0] and self.screen()[0][2:4] == want and self.screen()[0], 10, 0.1)
        log(f"mutter scale {self.scale:g}: {'physical' if physical else 'logical'} layout, X screen {got}")
        if not scaled or not got:
            raise RuntimeError(f"mutter did not take scale {self.scale}: X screen {self.screen()}")

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

    def move(self, du, dv):
        self.session.NotifyPointerMotionRelative(self.dbus.Double(du), self.dbus.Double(dv))
        self.settle()

    def abs(self, x, y):
        # As a mouse gets there: from the top-left corner (point is the tablet).
        self.move(-100000, -100000)
        self.rel(x, y)

    def point(self, x, y):
        """Puts the pointer at X pixel (x, y) of the primary monitor, as a
        tablet or a remote desktop does: absolute motion."""
        self.session.NotifyPointerMotionAbsolute(self.stream, self.dbus.Double(x * self.stream_px[0]),
                                                 self.dbus.Double(y * self.stream_px[1]))
        self.settle()

    def click(self):
        self.session.NotifyPointerButton(self.dbus.Int32(BTN_LEFT), True)
        self.session.NotifyPointerButton(self.dbus.Int32(BTN_LEFT), False)
        self.settle()

    def key(self, *names):
        for n in names:
            self.session.NotifyKeyboardKeysym(self.dbus.UInt32(self.KEYSYMS[n]), True)
        for n in reversed(names):
            self.session.NotifyKeyboardKeysym(self.dbus.UInt32(self.KEYSYMS[n]), False)
        self.settle()

    def close_covering_surface(self):
        # The compositor's close key, on the surface that has the focus.
        self.key("Alt", "F4")


def measure(comp):
    """The X screen the game measures, and the motion unit: every expected
    point below comes from them."""
    global W, H, CX, CY, HELD
    primary, comp.root = wait_until(lambda: comp.screen()[0] and comp.screen(), 10) or (None, None)
    if not primary:
        raise RuntimeError("no screen read")
    x0, y0, W, H = primary
    if (x0, y0) != (0, 0):
        raise RuntimeError(f"the primary monitor is not at the X screen's origin: {primary}")
    # The game rounds half to even, as round does.
    CX, CY = round(W / 2), round(H / 2)
    HELD = (CX - 1, CY - 1)            # the point of the 2x2 square nearest the centre
    log(f"{'screen' if comp.nox else 'X screen'} {W}x{H} (root {comp.root[0]}x{comp.root[1]}), output {comp.size[0]}x{comp.size[1]} "
        f"at scale {comp.scale:g}: held point {HELD}, maxX {W - 1}, maxY {H - 1}")
    if comp.nox:
        # Without X nothing here reads the pointer: the unit measured over
        # XWayland in both compositors at every scale, their logical pixel,
        # which is the game's pixel on Wayland itself.
        log("without XWayland: the game measures the output in logical pixels, one a unit of motion")
    else:
        comp.calibrate()


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


def write_png(path, w, h, rgb):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + rgb[y * w * 3:(y + 1) * w * 3] for y in range(h))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


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


def arrow_at(comp, img, point, what):
    """Checks that the screenshot shows the game's arrow with its tip at
    this point of the X screen."""
    s = img[0] / comp.root[0]          # screenshot pixels an X pixel
    want = (point[0] * s, point[1] * s)
    got = find_arrow(img, comp.scale)
    # At a fractional scale the compositor rounds a position somewhere.
    check(f"{what} ({point} on the X screen, {want[0]:g},{want[1]:g} in the screenshot)",
          got is not None and abs(got[0] - want[0]) < 1 and abs(got[1] - want[1]) < 1, str(got))


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

    def lines(self):
        if not os.path.exists(self.history):
            return []
        with open(self.history, "rb") as f:
            return f.read().split(b"\r\n")[:-1]

    def frame(self):
        return self.comp.frame(self.win)

    def press_start(self):
        fr = self.frame()
        if not fr:
            raise RuntimeError("the game's window is gone")
        fx, fy, fw, fh, kx, ky, kw, kh = fr
        self.comp.abs(kx + kw // 5, ky + kh // 2)
        if self.comp.name == "kwin":
            # Space on the button, which has the keyboard: KWin's fake
            # input lost a click now and then (XWayland moved the pointer
            # on by the last relative move between press and release).
            mine = (TITLE, " ".join(TITLE.split()))
            if not wait_until(lambda: self.comp.focused() in mine, 3, 0.1):
                # As a player would click on it: seen once without XWayland,
                # after a box went away, KWin gave the keyboard to nothing.
                log(f"the game's window has not got the keyboard back ({self.comp.focused()!r}): activated")
                self.comp.activate(mine[1])
                wait_until(lambda: self.comp.focused() in mine, 2, 0.1)
            self.comp.key("space")
        else:
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


def shot(comp, name, cursor=False):
    shots = os.environ.get("SKORREL_SHOTS")
    if not shots:
        return None
    os.makedirs(shots, exist_ok=True)
    return comp.screenshot(os.path.join(shots, f"{comp.label}-{name}.ppm"), cursor)


def shove_during_count_in(comp, pressed):
    """Tries to leave the held point: a corner, then far the other way."""
    time.sleep(max(0.0, pressed + 1.0 - time.monotonic()))
    comp.to(-10 * W, -10 * H)
    comp.to(3 * W, 2 * H)


def wait_go(comp, pressed):
    """Until just after go!, when the pointer is let go at the held point."""
    wait_until(lambda: time.monotonic() - pressed > 3.9, 6)
    comp.at = HELD


def sweep(comp):
    """From where the pointer is: left, top, right, bottom, each away from
    the corners."""
    comp.to(0, comp.at[1])        # left
    comp.to(0, -10 * H)           # top-left corner
    comp.to(100, 0)               # top
    comp.to(10 * W, 0)            # top-right corner
    comp.to(W - 1, 100)           # right
    comp.to(W - 1, 10 * H)        # bottom-right corner
    comp.to(W - 101, H - 1)       # bottom


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
        arrow_at(comp, img, HELD, "the pointer is shown at the held point")
    shove_during_count_in(comp, pressed)
    time.sleep(0.3)
    img = shot(comp, "3-count-in")
    if img:
        arrow_at(comp, img, HELD, "still shown there after moves to a corner and far away")
    wait_go(comp, pressed)
    img = shot(comp, "4-go", cursor=True)
    if img:
        arrow_at(comp, img, HELD, "after go! the pointer is there")
    comp.to(1, HELD[1])           # one short of the left edge
    comp.to(1, -10 * H)           # (1, 0): the top's margin
    comp.to(3, 0)                 # top
    comp.to(10 * W, 0)            # top-right corner
    comp.to(W - 1, 3)             # (maxX, 3): right
    comp.to(W - 1, 10 * H)        # bottom-right corner
    comp.to(W - 4, H - 1)         # (maxX - 3, maxY): bottom
    comp.to(-10 * W, H - 1)       # bottom-left corner
    comp.to(0, H - 3)             # (0, maxY - 2): the left edge's margin
    time.sleep(0.6)
    check("a near miss, corners and margins leave the race running", game.lines() == [] and game.proc.poll() is None,
          str(game.lines()))
    comp.to(0, H - 4)             # (0, maxY - 3): left, the fourth edge
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
    wait_go(comp, pressed)
    sweep(comp)                   # left at the held y first
    box = wait_until(lambda: comp.window(BEST_TITLE), 5)
    if check(f"a box titled '{BEST_TITLE}'", box is not None):
        time.sleep(0.3)
        shot(comp, "5-new-best")
        check("nothing recorded while the box is open", len(game.lines()) == 1)
        dismiss(comp, BEST_TITLE)
    if check("race 2 recorded", wait_until(lambda: len(game.lines()) == 2, 3)):
        log("race 2:", game.lines()[1].decode())
        check("race 2 is the new best", int(game.lines()[1].split(b" ")[2]) < first)

    # Race 3: a near miss of the top edge from the held y, then the other
    # three; the top only after ten seconds: refused, the file unchanged.
    before = game.lines()
    time.sleep(0.3)
    pressed = game.press_start()
    wait_go(comp, pressed)
    went = time.monotonic()
    comp.to(HELD[0], 1)           # one short of the top
    comp.to(-10 * W, 1)           # top-left corner
    comp.to(0, 101)               # left
    comp.to(0, 10 * H)
    comp.to(100, H - 1)           # bottom
    comp.to(10 * W, H - 1)
    comp.to(W - 1, H - 101)       # right
    time.sleep(0.6)
    check("a near miss of the top leaves the race running", game.lines() == before and
          comp.window(REFUSED_TITLE) is None)
    time.sleep(max(0.0, went + 10.3 - time.monotonic()))
    comp.to(W - 1, -10 * H)       # top-right corner
    comp.to(W - 101, 0)           # top, after more than ten seconds
    box = wait_until(lambda: comp.window(REFUSED_TITLE), 5)
    if check(f"a box titled '{REFUSED_TITLE}' after more than ten seconds", box is not None):
        time.sleep(0.3)
        shot(comp, "6-refused")
        dismiss(comp, REFUSED_TITLE)
    time.sleep(0.3)
    check("a refused run leaves the file as it was", game.lines() == before)

    # Closed during the count-in, then during the race: status 0, nothing
    # written.
    pressed = game.press_start()
    time.sleep(1.2)
    comp.close_window(game.win)
    status = game.wait_exit()
    check("closed during the count-in: exit status 0", status == 0, str(status))
    check("nothing written by the closed race", game.lines() == before)

    game = Game(comp, game_bin, folder)
    if not check("the game starts again", game.win is not None):
        return
    shot(comp, "7-restart")
    pressed = game.press_start()
    wait_go(comp, pressed)
    comp.to(0, HELD[1])
    comp.to(0, -10 * H)
    comp.to(100, 0)
    if comp.tells_focus:
        who = comp.focused()
        check("the covering surface has the keyboard", who == "Skorrel", str(who))
    comp.close_covering_surface()
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
        wait_go(comp, pressed)
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
                dismiss(comp, BEST_TITLE if comp.window(BEST_TITLE) else REFUSED_TITLE)
        check(f"race {n} runs to its end without a hold", wait_until(lambda: len(game.lines()) == n, 3),
              str(game.lines()))
        if img:
            check("the pointer is not shown at the held point", find_arrow(img, comp.scale) != HELD,
                  str(find_arrow(img, comp.scale)))
    said = game.output().count("has not locked the pointer")
    check("the game says once why the pointer is not held", said == 1, game.output())
    comp.close_window(game.win)
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
        wait_go(comp, pressed)
        # Onto the other monitor, as far as a compositor lets one move
        # cross (mutter stops a longer one at the shared edge by itself):
        # kept on the primary, the pointer stops at maxX.
        comp.rel(W - HELD[0] + 100, 0)
        comp.rel(5 * W, 0)
        comp.rel(0, -10 * H)          # top-right corner of the primary
        comp.rel(-100, 0)             # top
        comp.rel(-10 * W, 0)          # top-left corner
        comp.rel(0, 100)              # left
        comp.rel(0, 10 * H)
        comp.rel(100, 0)              # bottom
        if n == 2:
            box = wait_until(lambda: comp.window(BEST_TITLE) or comp.window(REFUSED_TITLE), 3)
            if box:
                dismiss(comp, BEST_TITLE if comp.window(BEST_TITLE) else REFUSED_TITLE)
        check(f"race {n}: the edge shared with the other monitor stops the pointer and counts",
              wait_until(lambda: len(game.lines()) == n, 3), str(game.lines()))
        shot(comp, f"two-monitors-{n}", cursor=True)
    time.sleep(0.5)
    comp.close_window(game.win)
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


def play_short(comp, game_bin):
    """One race: the pointer held (on the screen where it can be seen, and
    through the race: a move from the held x stops one pixel short of the
    left edge, one from the held y reaches the top), the four edges, the
    record written."""
    folder = tempfile.mkdtemp(prefix="game-", dir=comp.work)
    game = Game(comp, game_bin, folder)
    if not check("the window appears", game.win is not None, game.output() if not game.win else ""):
        return
    fr = game.frame()
    log("frame", fr)
    check("the window is centred, frame included", fr and abs(2 * fr[0] - (W - fr[2])) <= 2 and
          abs(2 * fr[1] - (H - fr[3])) <= 2, str(fr))
    pressed = game.press_start()
    time.sleep(0.5)
    img = shot(comp, "held")
    if img:
        arrow_at(comp, img, HELD, "the pointer is shown at the held point")
    shove_during_count_in(comp, pressed)
    wait_go(comp, pressed)
    img = shot(comp, "go", cursor=True)
    if img:
        arrow_at(comp, img, HELD, "after go! the pointer is there")
    # A mouse held left of HELD touches the left edge with the first move
    # and the race ends early; held below it, it never touches the top.
    comp.to(1, HELD[1])           # one short of the left edge
    comp.to(3, HELD[1])
    comp.to(3, 0)                 # top, the first pixel past the corner
    comp.to(10 * W, 0)            # top-right corner
    comp.to(W - 1, 100)           # right
    comp.to(W - 1, 10 * H)        # bottom-right corner
    comp.to(W - 101, H - 1)       # bottom
    time.sleep(0.6)
    check("one pixel short of the left edge leaves the race running", game.lines() == [] and
          game.proc.poll() is None, str(game.lines()))
    comp.to(-10 * W, H - 1)       # bottom-left corner
    comp.to(0, H - 101)           # left, the fourth edge
    if check("the fourth edge ends the race and records it", wait_until(lambda: len(game.lines()) == 1, 3),
             str(game.lines())):
        log("race:", game.lines()[0].decode())
    comp.close_window(game.win)
    check("closed: exit status 0", game.wait_exit() == 0)


def x11_socket_folder():
    """XWayland refuses to start when it cannot make its socket here: a
    folder that another user's XWayland made must still be everyone's."""
    d = "/tmp/.X11-unix"
    if not os.path.isdir(d):
        os.makedirs(d, exist_ok=True)
        os.chmod(d, 0o1777)


def run_session(argv, play):
    """Starts the compositor that argv names (KIND GAME PROBE [VPOINTER]
    [--size=WxH] [--scale=S] [--short]; a KIND of another script's,
    stress-sway say, names its compositor after the dash), measures its X
    screen, runs play(comp, game_bin, kind, opts) and stops it all. Returns
    the exit status."""
    args = [a for a in argv if not a.startswith("--")]
    opts = dict((a[2:].split("=", 1) + ["1"])[:2] for a in argv if a.startswith("--"))
    kind, game_bin, probe = args[:3]
    vpointer = args[3] if len(args) > 3 else None
    size = tuple(int(v) for v in opts.get("size", "1920x1080").split("x"))
    scale = float(opts.get("scale", "1"))
    outputs = 2 if kind.endswith("-two") else 1
    which = kind.split("-")[-1] if kind.split("-")[-1] in ("sway", "mutter", "kwin") else kind.split("-")[0]
    x11_socket_folder()
    work = tempfile.mkdtemp(prefix=f"skorrel-{kind}-")
    nox = kind.endswith("-nox")
    if which == "sway":
        comp = Sway(work, probe, vpointer, size, scale, outputs, locks=kind != "sway-nolock", nox=nox)
    elif which == "kwin":
        comp = KWin(work, probe, vpointer, size, scale, outputs, nox=nox)
    else:
        comp = Mutter(work, probe, size, scale, outputs)
    comp.device = opts.get("device", "rel")
    if comp.device not in ("rel", "abs"):
        raise SystemExit(f"--device=rel or --device=abs, not {comp.device}")
    # Names the screenshots.
    comp.label = "-".join([kind] + [f"{opts[k]}{'x' if k == 'scale' else ''}" for k in ("size", "scale")
                                    if k in opts] + (["short"] if "short" in opts else []) + [comp.device])
    try:
        comp.start()
        global session
        session = comp
        measure(comp)
        play(comp, game_bin, kind, opts)
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


def scenario(comp, game_bin, kind, opts):
    if kind == "sway-nolock":
        play_unheld(comp, game_bin)
    elif kind.endswith("-two"):
        play_two_monitors(comp, game_bin)
    elif kind == "sway-picture":
        picture(comp, game_bin)
    elif "short" in opts:
        play_short(comp, game_bin)
    else:
        play(comp, game_bin)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    sys.exit(run_session(sys.argv[1:], scenario))

"""What every compositor gives a test (Compositor): the session's
environment, the game's windows and the primary monitor, a pointer moved in
X pixels and a keyboard; and VPointer, the input client of sway and KWin.
Each compositor's own class is in its own module."""
import fractions
import os
import subprocess
import time

from harness import log, wait_until


class Compositor:
    ux = uy = 1.0        # X pixels per unit of relative motion (calibrate)
    tells_focus = False  # whether focused() knows
    tells_app_id = False # whether app_id() knows
    tells_pointer = False  # whether pointer() knows
    centres_wayland_windows = True  # where the game cannot place its window
    device = "rel"       # what plays the races: "rel" a mouse, "abs" a tablet
    at = (0, 0)          # where the pointer is on the primary, X pixels
    screen = None        # the harness's Screen, once measured
    window_settles = 0.3  # s from an X window's map to the pointer's motion over it

    def __init__(self, work, probe, vpointer, size, scale, outputs, locks=True, nox=False):
        self.work, self.probe, self.vpointer_path = work, probe, vpointer
        self.size, self.scale, self.outputs = size, scale, outputs
        self.locks = locks   # whether it grants pointer locks (only sway is told not to)
        self.nox = nox       # a session without XWayland
        # The game's windows are Wayland ones, found in the compositor's own list.
        self.own_windows = nox
        self.qt_platform = None  # QT_QPA_PLATFORM for the game, when a case sets it
        self.runtime = os.path.join(work, "runtime")
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": work, "XDG_RUNTIME_DIR": self.runtime,
                    "XDG_SESSION_TYPE": "wayland", "LANG": os.environ.get("LANG", "C.UTF-8")}
        if "DBUS_SESSION_BUS_ADDRESS" in os.environ:
            self.env["DBUS_SESSION_BUS_ADDRESS"] = os.environ["DBUS_SESSION_BUS_ADDRESS"]
        self.procs = []

    def focused(self):
        """The title of the window with the keyboard, for the log."""
        return "not known here"

    @property
    def logical(self):
        """The output's size in the compositor's logical pixels."""
        return round(self.size[0] / self.scale), round(self.size[1] / self.scale)

    def spawn(self, argv, log_name, **kw):
        out = open(os.path.join(self.work, log_name), "wb")
        p = subprocess.Popen(argv, env=self.env, stdout=out, stderr=subprocess.STDOUT, **kw)
        self.procs.append(p)
        return p

    def started(self, what, ok, log_name):
        """Fails the session with the end of the compositor's log unless ok."""
        if not ok:
            raise RuntimeError(f"{what}: " + open(os.path.join(self.work, log_name), errors="replace").read()[-2000:])

    def wait_socket(self, name, timeout=30):
        return wait_until(lambda: os.path.exists(os.path.join(self.runtime, name)), timeout)

    def x(self, *args):
        r = subprocess.run([self.probe, *args], env=self.env, capture_output=True, text=True)
        return r.returncode, r.stdout.strip()

    # The game's windows and the primary monitor: XWayland's through
    # x11_probe, or the compositor's own (own_*) when the game's windows
    # are Wayland ones (and the monitor too without XWayland).
    def window(self, title):
        if self.own_windows:
            return self.own_window(title)
        return self.x_window(title)

    def x_window(self, title):
        """An X window of this title on XWayland; None without XWayland."""
        if self.nox:
            return None
        code, out = self.x("find", title)
        return out.splitlines()[0] if code == 0 and out else None

    def frame(self, win):
        """The window's frame and client area: x y w h, x y w h."""
        if self.own_windows:
            return self.own_frame(win)
        code, out = self.x("frame", win)
        return [int(v) for v in out.split()] if code == 0 else None

    def app_id(self, win):
        """The app id of a Wayland window of the game, as the compositor
        has it ("" for none), where tells_app_id."""
        return None

    def close_window(self, win):
        """As the window's close button does."""
        if self.own_windows:
            return self.own_close(win)
        self.x("close", win)

    def monitor(self):
        """The primary monitor (x, y, w, h) and the root's size."""
        if self.nox:
            return self.own_monitor()
        code, out = self.x("screen")
        v = [int(n) for n in out.split()] if code == 0 else []
        return (v[:4], v[4:6]) if len(v) == 6 else (None, None)

    def rel(self, dx, dy):
        """Relative motion by dx, dy X pixels."""
        self.move(dx / self.ux, dy / self.uy)

    def to(self, x, y):
        """Towards X pixel (x, y) of the primary, which may lie beyond its
        edges: a mouse moves by the difference and is stopped at the edge,
        a tablet points at the nearest pixel on the screen."""
        on = (min(max(x, 0), self.screen.w - 1), min(max(y, 0), self.screen.h - 1))
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
            time.sleep(self.window_settles)

            def at():
                time.sleep(0.15)
                track.stdin.write("\n")
                track.stdin.flush()
                return [int(v) for v in track.stdout.readline().split()]

            n = 200
            # Once to the left edge before anything is read: the first
            # motion after the input session starts may come late (seen in
            # mutter with two monitors).
            self.move(-100000, 0)
            at()
            seen = []
            for du, dv in ((-100000, 0), (n, 0), (0, -100000), (0, n), (100000, 0), (0, 100000)):
                self.move(du, dv)
                seen.append(at())
            left, moved, top, down, right, bottom = seen
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

    def pointed(self, points):
        """Where a tablet pointed at each of these X pixels puts the
        pointer, as XWayland sees it over an X window covering its whole
        screen (every monitor); None without XWayland."""
        if self.nox:
            return None
        track = subprocess.Popen([self.probe, "track"], env=self.env, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        seen = []
        try:
            if track.stdout.readline().strip() != "ready":
                raise RuntimeError("x11_probe track did not start")
            time.sleep(self.window_settles)
            for p in points:
                self.point(*p)
                time.sleep(0.15)
                track.stdin.write("\n")
                track.stdin.flush()
                seen.append(tuple(int(v) for v in track.stdout.readline().split()))
        finally:
            track.stdin.close()
            track.wait(5)
        return seen

    def reach(self, x, y):
        """As a mouse gets to X pixel (x, y), to press there: from the
        top-left corner (point is the tablet)."""
        self.move(-100000, -100000)
        self.rel(x, y)

    def press(self, title):
        """Presses the button under the pointer, in the window of this title."""
        self.click()

    def close_covering_surface(self):
        # The compositor's close key, on the surface that has the focus.
        self.key("Alt", "F4")

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

    def start_input(self):
        self.mouse = subprocess.Popen([self.vpointer_path], env=self.env, stdin=subprocess.PIPE,
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
        self.nudge(du, dv)
        self.sync()

    def nudge(self, du, dv):
        """Relative motion, not waited for: a mouse's stream of them."""
        self.send(f"rel {du} {dv}")

    def reach(self, x, y):
        self.point(x, y)

    def point(self, x, y):
        # Both take the layout in their logical pixels, the unit of relative motion.
        root = self.screen.root
        self.send(f"abs {x / self.ux} {y / self.uy} {root[0] / self.ux} {root[1] / self.uy}")
        self.sync()

    def click(self):
        self.send("click")
        self.sync()

"""GNOME Shell on Wayland, headless (--desktop with mutter): mutter's own
remote desktop and screen cast drive it, as in mutter.py, with the shell's
hot corner in the top-left corner. It wants a system bus (an empty one of
its own serves) and, where systemd keeps seats, logind: without it, a
folder of its own over /run/systemd in a mount namespace."""
import json
import os

from harness import log, wait_until
from mutter import Mutter


class GnomeShell(Mutter):
    name = "gnome-shell"
    tells_focus = True
    tells_app_id = True
    tells_pointer = True
    # It places a new Wayland window near the top left, not in the middle.
    centres_wayland_windows = False
    # The shell animates a window in: till then XWayland hears no motion.
    window_settles = 1.5

    def _test_extension(self):
        """An extension of the tests' own that lets org.gnome.Shell.Eval run,
        as nothing else in the shell tells where a Wayland window is or
        closes it. Enabled once the shell runs."""
        uuid = "skorrel-tests@skorrel.org"
        folder = os.path.join(self.env["HOME"], ".local/share/gnome-shell/extensions", uuid)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "metadata.json"), "w") as f:
            json.dump({"uuid": uuid, "name": "Skorrel tests", "description": "Eval for the tests",
                       "shell-version": ["43"]}, f)
        with open(os.path.join(folder, "extension.js"), "w") as f:
            f.write("function init() {}\n"
                    "function enable() { global.context.unsafe_mode = true; }\n"
                    "function disable() { global.context.unsafe_mode = false; }\n")
        return uuid

    def eval(self, js):
        """What the script gives, which the shell hands back as JSON."""
        ok, out = self._shell().Eval(js, dbus_interface="org.gnome.Shell")
        if not ok:
            raise RuntimeError(f"GNOME Shell's Eval failed: {out}")
        return json.loads(out) if out else None

    def _windows(self):
        """Title -> [frame x, y, w, h] of every window the shell shows."""
        return {k: v for k, v in (self.eval(
            "Object.fromEntries(global.get_window_actors().map(a => a.meta_window)"
            ".map(w => { const r = w.get_frame_rect(); return [w.get_title(), [r.x, r.y, r.width, r.height]]; }))")
            or {}).items()}

    def focused(self):
        return self.eval("global.display.focus_window ? global.display.focus_window.get_title() : ''")

    # A Wayland window of the game is its title here. Qt draws its frame
    # itself in GNOME (no server-side decoration): the client area sits in
    # Qt's margins, 3 px but for the 30 px title bar.
    QT_MARGINS = (3, 30, 3, 3)

    def own_window(self, title):
        return title if title in self._windows() else None

    def own_frame(self, win):
        r = self._windows().get(win)
        if not r:
            return None
        left, top, right, bottom = self.QT_MARGINS
        return [*r, r[0] + left, r[1] + top, r[2] - left - right, r[3] - top - bottom]

    def pointer(self):
        """Where the shell's pointer is, in X pixels (scale 1 only here)."""
        return tuple(self.eval("global.get_pointer().slice(0, 2)"))

    def reach(self, x, y):
        # Not by way of the top-left corner, whose push opens the overview.
        self.point(x, y)

    def app_id(self, win):
        # mutter keeps a Wayland window's app id as its class.
        return self.eval("global.get_window_actors().map(a => a.meta_window)"
                         f".filter(w => w.get_title() == {json.dumps(win)}).map(w => w.get_wm_class())[0] || ''")

    def own_close(self, win):
        self.eval("global.get_window_actors().map(a => a.meta_window)"
                  f".filter(w => w.get_title() == {json.dumps(win)}).forEach(w => w.delete(global.get_current_time()))")

    def compositor_argv(self):
        self.extension = self._test_extension()
        sysbus = os.path.join(self.runtime, "system-bus")
        self.spawn(["dbus-daemon", "--session", f"--address=unix:path={sysbus}", "--nofork", "--nopidfile"],
                   "system-bus.log")
        if not wait_until(lambda: os.path.exists(sysbus), 10):
            raise RuntimeError("the system bus did not start")
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = f"unix:path={sysbus}"
        argv = ["gnome-shell", "--headless", "--wayland", "--wayland-display", "skorrel-wayland",
                *["--virtual-monitor", f"{self.size[0]}x{self.size[1]}"] * self.outputs]
        if os.path.isdir("/run/systemd/seats"):
            ns = ["unshare", "-m"] if os.getuid() == 0 else ["unshare", "-r", "-m"]
            argv = [*ns, "sh", "-c", 'mount -t tmpfs tmpfs /run/systemd && exec "$@"', "sh", *argv]
        return argv

    def _shell(self):
        import dbus
        return dbus.SessionBus().get_object("org.gnome.Shell", "/org/gnome/Shell")

    def corner_action_open(self):
        return bool(self._shell().Get("org.gnome.Shell", "OverviewActive",
                                      dbus_interface="org.freedesktop.DBus.Properties"))

    def close_corner_action(self):
        self._shell().Set("org.gnome.Shell", "OverviewActive", self.dbus.Boolean(False),
                          dbus_interface="org.freedesktop.DBus.Properties")

    def start(self):
        super().start()
        # It starts in the overview.
        if not wait_until(lambda: self._try(self.corner_action_open) is not None, 30, 0.2):
            raise RuntimeError("GNOME Shell's D-Bus interface did not answer")
        self.close_corner_action()
        # Asked again until it takes: the shell may not yet have loaded
        # its extensions when it first answers.
        def opened():
            if self._try(lambda: self.eval("1")) == 1:
                return True
            self._try(lambda: self._shell().EnableExtension(self.extension, dbus_interface="org.gnome.Shell.Extensions"))
            return False
        if not wait_until(opened, 15, 0.5):
            raise RuntimeError("GNOME Shell's Eval stays shut")
        if not wait_until(lambda: not self.corner_action_open(), 5, 0.1):
            raise RuntimeError("GNOME Shell's overview did not close")
        # The pointer starts in the top bar, the shell's own, where XWayland
        # hears no motion: into the middle first.
        self.move(self.size[0] / 2, self.size[1] / 2)
        log("GNOME Shell: the overview closed")

    @staticmethod
    def _try(f):
        try:
            return f()
        except Exception:
            return None

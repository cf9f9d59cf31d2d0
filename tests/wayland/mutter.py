"""mutter 43, headless with virtual monitors: the pointer and keys through
its remote desktop (absolute motion on a screen cast, so with PipeWire and
WirePlumber), scales through DisplayConfig. Always with XWayland."""
import os
import re
import time

from compositor import Compositor
from harness import log, wait_until

BTN_LEFT = 272


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
        self.spawn(self.compositor_argv(), "mutter.log")
        self.started("pipewire did not start", self.wait_socket("pipewire-0", 10), "pipewire.log")
        self.spawn(["wireplumber"], "wireplumber.log")
        self.started("mutter did not start", self.wait_socket("skorrel-wayland"), "mutter.log")
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
        if not wait_until(lambda: (self.monitor()[1] or [0])[0] == self.size[0] * self.outputs, 10, 0.1):
            raise RuntimeError(f"XWayland's screen is not {self.outputs} monitors wide: {self.monitor()}")
        if self.scale != 1:
            self._set_scale(bus)
        # Only now: a scale that changes the monitor's layout (in logical
        # pixels) closes its screen cast, and the input session with it.
        self._input_session(bus)
        # Its keyboard is made at the first key, which it loses: a Shift.
        self.key("Shift")
        log("mutter on", self.env["WAYLAND_DISPLAY"], "XWayland on", display)

    def compositor_argv(self):
        return ["mutter", "--headless", "--wayland", "--wayland-display", "skorrel-wayland",
                *["--virtual-monitor", f"{self.size[0]}x{self.size[1]}"] * self.outputs]

    def _display_config(self, bus):
        return self.dbus.Interface(bus.get_object("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig"),
                                   "org.gnome.Mutter.DisplayConfig")

    def _input_session(self, bus):
        """The remote desktop session that moves the pointer and presses the
        keys. A screen cast of each monitor, recorded before it starts,
        lets it take absolute motion too, in that stream's pixels: the
        primary's for the primary, the other's for a point beyond it."""
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
        _, _, logical, _ = self._display_config(bus).GetCurrentState()
        cast = bus.get_object("org.gnome.Mutter.ScreenCast", sc_path)
        # The primary first, then the others from left to right: the
        # harness puts them right of it, each as big.
        self.streams = [cast.RecordMonitor(m[5][0][0], dbus.Dictionary({}, signature="sv"),
                                           dbus_interface="org.gnome.Mutter.ScreenCast.Session")
                        for m in sorted(logical, key=lambda m: (not m[4], m[0]))]
        self.stream = self.streams[0]
        self.session.Start()
        # The stream has the mode's pixels at any scale and layout; the X
        # screen has the layout's, which are those only when laid out in
        # physical pixels.
        mon = self.monitor()[0]
        self.stream_px = (self.size[0] / mon[2], self.size[1] / mon[3])

    def _set_scale(self, bus):
        """Mutter takes a scale only after it runs, through DisplayConfig;
        XWayland's screen follows later."""
        dc = self._display_config(bus)
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
        got = wait_until(lambda: self.monitor()[0] and self.monitor()[0][2:4] == want and self.monitor()[0], 10, 0.1)
        log(f"mutter scale {self.scale:g}: {'physical' if physical else 'logical'} layout, X screen {got}")
        if not scaled or not got:
            raise RuntimeError(f"mutter did not take scale {self.scale}: X screen {self.monitor()}")

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
        self.nudge(du, dv)
        self.settle()

    def nudge(self, du, dv):
        self.session.NotifyPointerMotionRelative(self.dbus.Double(du), self.dbus.Double(dv))

    def sync(self):
        self.settle()

    def point(self, x, y):
        """Puts the pointer at X pixel (x, y) of the primary monitor, or
        beyond its right edge on the monitors there, as a tablet or a remote
        desktop does: absolute motion."""
        w = self.screen.w if self.screen else self.size[0]
        k = min(max(int(x // w), 0), len(self.streams) - 1)
        self.session.NotifyPointerMotionAbsolute(self.streams[k], self.dbus.Double((x - k * w) * self.stream_px[0]),
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

    def stop(self):
        # With its remote desktop session still open mutter takes 5 s to
        # end on SIGTERM, and is then killed; stopped first, it ends at once.
        try:
            self.session.Stop()
        except Exception:
            pass
        super().stop()

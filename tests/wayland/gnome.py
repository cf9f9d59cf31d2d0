"""GNOME Shell on Wayland, headless (--desktop with mutter): mutter's own
remote desktop and screen cast drive it, as in mutter.py, with the shell's
hot corner in the top-left corner. It wants a system bus (an empty one of
its own serves) and, where systemd keeps seats, logind: without it, a
folder of its own over /run/systemd in a mount namespace."""
import os

from harness import log, wait_until
from mutter import Mutter


class GnomeShell(Mutter):
    name = "gnome-shell"
    # The shell animates a window in: till then XWayland hears no motion.
    window_settles = 1.5

    def compositor_argv(self):
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

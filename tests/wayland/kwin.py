"""KWin 5.27, virtual: fake input through vpointer, screenshots and
scripts over D-Bus, and without XWayland the windows its scripts see."""
import json
import os
import re
import shutil

from compositor import Compositor, VPointer
from harness import log, wait_until, write_png


class KWin(VPointer, Compositor):
    name = "kwin"
    tells_focus = True
    tells_app_id = True
    desktop = False      # Plasma's own screen edges, not none
    # Linux key codes, which fake input's keyboard_key takes.
    KEYS = {"Return": 28, "Alt": 56, "F4": 62, "Shift": 42, "space": 57, "Escape": 1}

    def __init__(self, *args, **kw):
        super().__init__(*args, **kw)
        # Fake input and screenshots for any client of this session.
        self.env.update(KWIN_WAYLAND_NO_PERMISSION_CHECKS="1", KWIN_SCREENSHOT_NO_PERMISSION_CHECKS="1")

    def start(self):
        # A copy: the packaged binary carries a file capability that an
        # ordinary user may be refused; the copy keeps its name, by which
        # KWin picks its platform.
        kwin = os.path.join(self.work, "kwin_wayland")
        # No hot corners or screen edges: the harness's moves reach every
        # corner, and an overview opened there takes the clicks meant for
        # the game. A whole desktop keeps Plasma's own actions.
        os.makedirs(os.path.join(self.work, ".config"), exist_ok=True)
        with open(os.path.join(self.work, ".config", "kwinrc"), "w") as f:
            f.write("" if self.desktop else "[ElectricBorders]\n" + "".join(f"{e}=None\n" for e in (
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
        self.started("KWin did not start its session", wait_until(lambda: os.path.exists(where), 30), "kwin.log")
        if not self.nox:
            self.env["DISPLAY"] = open(where).read().strip()
        log("KWin on", self.env["WAYLAND_DISPLAY"], "XWayland on", self.env.get("DISPLAY", "none"))
        self.start_input()
        import dbus  # python3-dbus
        self.dbus = dbus
        self.shooter = dbus.Interface(dbus.SessionBus().get_object("org.kde.KWin", "/org/kde/KWin/ScreenShot2"),
                                      "org.kde.KWin.ScreenShot2")

    def key(self, *names):
        self.send("key " + " ".join(str(self.KEYS[n]) for n in names))
        self.sync()

    def reach(self, x, y):
        # As a mouse gets there, not as vpointer's tablet, and a pixel there
        # and back at the end: XWayland in KWin was seen to add the last
        # relative move once more, a second or so on, so that a long one
        # took the pointer off the button between press and release.
        Compositor.reach(self, x, y)
        self.rel(1, 0)
        self.rel(-1, 0)

    def press(self, title):
        # Space on the button, which has the keyboard: KWin's fake input
        # lost a click now and then (XWayland moved the pointer on by the
        # last relative move between press and release).
        mine = (title, " ".join(title.split()))
        if not wait_until(lambda: self.focused() in mine, 3, 0.1):
            # As a player would click on it: seen once without XWayland,
            # after a box went away, KWin gave the keyboard to nothing.
            log(f"the game's window has not got the keyboard back ({self.focused()!r}): activated")
            self.activate(mine[1])
            wait_until(lambda: self.focused() in mine, 2, 0.1)
        self.key("space")

    # The desktop's action in the top-left corner, for the desktop scenario:
    # Present Windows (windowview) by default, or the overview.
    def corner_action_open(self):
        effects = self.dbus.SessionBus().get_object("org.kde.KWin", "/Effects").Get(
            "org.kde.kwin.Effects", "activeEffects", dbus_interface="org.freedesktop.DBus.Properties")
        return bool({"windowview", "overview"} & {str(e) for e in effects})

    def close_corner_action(self):
        self.key("Escape")

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

    @property
    def tells_pointer(self):
        # In logical pixels, the X screen's only at scale 1.
        return self.scale == 1

    def pointer(self):
        said = self.script('say(workspace.cursorPos.x + " " + workspace.cursorPos.y);')
        return tuple(int(v) for v in said.split()) if said else None

    def activate(self, caption):
        self.script('var cs = workspace.clientList(); for (var i = 0; i < cs.length; ++i)'
                    f' if (cs[i].caption == {json.dumps(caption)}) workspace.activeClient = cs[i]; say("");')

    # Without X, the windows as KWin's scripts see them; a window is its
    # caption, whose double spaces KWin drops.
    def _windows(self):
        said = self.script(
            'var out = []; var cs = workspace.clientList();'
            'for (var i = 0; i < cs.length; ++i) { var c = cs[i], f = c.frameGeometry,'
            ' g = c.clientGeometry || c.bufferGeometry || f;'
            ' out.push(c.caption + "\\t" + [f.x, f.y, f.width, f.height, g.x, g.y, g.width, g.height].join(" ")); }'
            'say(out.join("|"));')
        found = {}
        for item in (said or "").split("|"):
            if "\t" in item:
                caption, geometry = item.split("\t")
                found[caption] = [round(float(v)) for v in geometry.split()]
        return found

    def own_window(self, title):
        title = " ".join(title.split())
        return title if title in self._windows() else None

    def own_frame(self, win):
        return self._windows().get(win)

    def app_id(self, win):
        # KWin takes a Wayland window's app id for its desktop file name.
        return self.script('var cs = workspace.clientList(); var id = "";'
                           ' for (var i = 0; i < cs.length; ++i)'
                           f' if (cs[i].caption == {json.dumps(win)}) id = cs[i].desktopFileName; say(id);') or ""

    def own_close(self, win):
        self.script('var cs = workspace.clientList(); for (var i = 0; i < cs.length; ++i)'
                    f' if (cs[i].caption == {json.dumps(win)}) cs[i].closeWindow(); say("");')

    def own_monitor(self):
        # Its outputs side by side, the primary first; the root spans them,
        # as XWayland's does.
        w, h = self.logical
        return [0, 0, w, h], (w * self.outputs, h)

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

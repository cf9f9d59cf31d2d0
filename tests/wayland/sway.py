"""sway 1.7, headless: the wlroots virtual pointer, wtype's keys, grim's
screenshots, and without XWayland the windows of its tree."""
import json
import os
import subprocess

from compositor import Compositor, VPointer
from harness import log, read_ppm, wait_until


class Sway(VPointer, Compositor):
    name = "sway"
    tells_focus = True
    tells_app_id = True

    def __init__(self, *args, **kw):
        super().__init__(*args, **kw)
        self.env.update(WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman")
        self.config = os.path.join(self.work, "sway.config")
        with open(self.config, "w") as f:
            f.write(f"output HEADLESS-1 mode {self.size[0]}x{self.size[1]} position 0 0 scale {self.scale:g}\n"
                    "default_border none\ndefault_floating_border none\n"
                    "focus_follows_mouse no\nfloating_minimum_size 1 x 1\n"
                    # sway 1.7 grants no pointer lock without a seat section
                    f"seat * pointer_constraint {'enable' if self.locks else 'disable'}\n" +
                    ("xwayland disable\n" if self.nox else ""))

    def start(self):
        self.spawn(["sway", "-c", self.config], "sway.log")
        sock = wait_until(lambda: [n for n in os.listdir(self.runtime) if n.startswith("wayland-") and
                                   not n.endswith(".lock")], 15)
        self.started("sway did not start", sock, "sway.log")
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
        self.start_input()

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

    def msg(self, *args):
        r = subprocess.run(["swaymsg", *args], env=self.env, capture_output=True, text=True)
        return r.stdout

    def _nodes(self):
        """The windows of sway's tree, each with whether it has the keyboard."""
        def walk(node):
            if node.get("type") in ("con", "floating_con") and node.get("name"):
                yield node
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                yield from walk(child)
        try:
            return list(walk(json.loads(self.msg("-t", "get_tree"))))
        except ValueError:
            return []

    def focused(self):
        return next((n.get("name") for n in self._nodes() if n.get("focused")), None)

    # Without X, a window is its id in the tree.
    def own_window(self, title):
        return next((str(n["id"]) for n in self._nodes() if n["name"] == title), None)

    def own_frame(self, win):
        n = next((n for n in self._nodes() if str(n["id"]) == win), None)
        if not n:
            return None
        r, w = n["rect"], n["window_rect"]
        return [r["x"], r["y"], r["width"], r["height"], r["x"] + w["x"], r["y"] + w["y"], w["width"], w["height"]]

    def app_id(self, win):
        return next((n.get("app_id") or "" for n in self._nodes() if str(n["id"]) == win), "")

    def own_close(self, win):
        self.msg(f"[con_id={win}]", "kill")

    def own_monitor(self):
        try:
            rects = [o["rect"] for o in json.loads(self.msg("-t", "get_outputs")) if o.get("active")]
        except ValueError:
            return None, None
        if not rects:
            return None, None
        # The first is the primary; the root spans the whole layout, as
        # XWayland's does.
        r = rects[0]
        return [r["x"], r["y"], r["width"], r["height"]], (max(o["x"] + o["width"] for o in rects),
                                                           max(o["y"] + o["height"] for o in rects))

    def screenshot(self, path, cursor=False):
        subprocess.run(["grim", *(["-c"] if cursor else []), "-t", "ppm", path], env=self.env, check=True)
        subprocess.run(["grim", *(["-c"] if cursor else []), path[:-4] + ".png"], env=self.env, check=True)
        return read_ppm(path)

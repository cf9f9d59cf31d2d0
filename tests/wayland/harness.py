"""The Wayland tests' harness: checks and waiting, the screen the game
measures, screenshots (to SKORREL_SHOTS), the relay in front of the game,
the flags that describe a case, and a session from the compositor's start
to its stop, all in this process's own runtime folder."""
import argparse
import contextlib
import os
import re
import shutil
import signal
import struct
import sys
import tempfile
import time
import zlib

from relay import Relay

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


class Screen:
    """The X screen as the game sees it (XWayland's primary monitor; without
    XWayland the output in logical pixels): every move and every expected
    point is given in its pixels."""

    def __init__(self, w, h, root):
        self.w, self.h, self.root = w, h, root
        # The game rounds half to even, as round does: the point of the 2x2
        # square nearest the centre.
        self.held = (round(w / 2) - 1, round(h / 2) - 1)


def measure(comp):
    """The screen the game measures, and the motion unit."""
    primary, root = wait_until(lambda: comp.monitor()[0] and comp.monitor(), 10) or (None, None)
    if not primary:
        raise RuntimeError("no screen read")
    if tuple(primary[:2]) != (0, 0):
        raise RuntimeError(f"the primary monitor is not at the X screen's origin: {primary}")
    s = comp.screen = Screen(primary[2], primary[3], root)
    log(f"{'screen' if comp.nox else 'X screen'} {s.w}x{s.h} (root {root[0]}x{root[1]}), output {comp.size[0]}x"
        f"{comp.size[1]} at scale {comp.scale:g}: held point {s.held}, maxX {s.w - 1}, maxY {s.h - 1}")
    if comp.nox:
        # Without X nothing here reads the pointer: the unit measured over
        # XWayland in both compositors at every scale, their logical pixel,
        # which is the game's pixel on Wayland itself.
        log("without XWayland: the game measures the output in logical pixels, one a unit of motion")
    else:
        comp.calibrate()


def read_ppm(path):
    """A binary PPM (P6) without comments, as grim writes it: width, height
    and the RGB bytes."""
    with open(path, "rb") as f:
        data = f.read()
    head = re.match(rb"P6\s+(\d+)\s+(\d+)\s+\d+\s", data)
    w, h = int(head.group(1)), int(head.group(2))
    return w, h, data[head.end():head.end() + w * h * 3]


def write_png(path, w, h, rgb):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + rgb[y * w * 3:(y + 1) * w * 3] for y in range(h))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


def shot(comp, name, cursor=False):
    shots = os.environ.get("SKORREL_SHOTS")
    if not shots:
        return None
    os.makedirs(shots, exist_ok=True)
    return comp.screenshot(os.path.join(shots, f"{comp.label}-{name}.ppm"), cursor)


@contextlib.contextmanager
def relayed(comp, checked=True):
    """A relay of ours (relay.py) between the game and the compositor: the
    game connects to relay.name. checked: whether it must have seen nothing
    wrong by the end."""
    relay = Relay(comp.runtime, comp.env["WAYLAND_DISPLAY"], "skorrel-relay").start()
    try:
        yield relay
        if checked:
            check("the relay saw nothing wrong", not relay.errors and not relay.protocol_errors,
                  f"{relay.errors} {relay.protocol_errors}")
    finally:
        relay.close()


def options(scenarios, argv=None, more=None):
    """The flags that describe a case; more(parser) adds a script's own."""
    p = argparse.ArgumentParser(description="Plays the real game in a Wayland compositor started headless.")
    p.add_argument("game", help="the game's binary")
    p.add_argument("probe", help="x11_probe, which reads XWayland's screen and windows")
    p.add_argument("vpointer", nargs="?", help="the input client of sway and KWin")
    p.add_argument("--compositor", required=True, choices=("sway", "mutter", "kwin"))
    p.add_argument("--scenario", choices=list(scenarios), default=next(iter(scenarios)))
    p.add_argument("--desktop", action="store_true",
                   help="the whole desktop: Plasma's own screen edges in KWin, GNOME Shell for mutter")
    p.add_argument("--monitors", type=int, default=1, help="the primary and more to its right")
    p.add_argument("--no-xwayland", action="store_true", help="the game's window on Wayland itself (sway, KWin)")
    p.add_argument("--no-lock", action="store_true", help="a sway that never grants a pointer lock")
    p.add_argument("--device", choices=("rel", "abs", "both"), default="rel",
                   help="what plays: a mouse (relative motion), a tablet (absolute positions), or the scenario"
                        " once by each in the same session")
    p.add_argument("--size", type=lambda v: tuple(int(n) for n in v.split("x")), default=(1920, 1080),
                   metavar="WxH", help="each output's mode in pixels")
    p.add_argument("--scale", type=float, default=1.0, help="each output's scale")
    p.add_argument("--qt-platform", metavar="VALUE",
                   help="QT_QPA_PLATFORM in the game's environment, as a player may have it set")
    if more:
        more(p)
    o = p.parse_args(argv)

    if o.no_xwayland and o.compositor == "mutter" or o.no_lock and o.compositor != "sway":
        p.error("--no-xwayland goes with sway or KWin, --no-lock with sway")
    # Whether the game's window is a Wayland one with XWayland there: Qt
    # takes the first platform of the list that connects.
    first = next((n.split(":")[0].lower() for n in (o.qt_platform or "").split(";") if n.split(":")[0]), "xcb")
    o.wayland_window = o.no_xwayland or first.startswith("wayland")
    if o.wayland_window and o.compositor == "mutter" and not o.desktop:
        p.error("bare mutter's windows are found through XWayland only: no --qt-platform=wayland there")
    if (o.monitors > 1) != (o.scenario == "two-monitors"):
        p.error("--scenario=two-monitors and --monitors=2 go together")
    # Names the case's screenshots.
    qpa = [f"qpa-{re.sub('[^a-z0-9-]+', '-', o.qt_platform.lower())}"] if o.qt_platform else []
    o.label = "-".join([o.compositor, o.scenario] + ["nox"] * o.no_xwayland + ["nolock"] * o.no_lock + qpa +
                       [f"{o.size[0]}x{o.size[1]}", f"{o.scale:g}x", o.device])
    return o


def run(o, play):
    """Starts the compositor o names, measures its screen, runs play(comp, o)
    and stops it all. Returns the exit status."""
    global session
    # XWayland refuses to start when it cannot make its socket here: a
    # folder that another user's XWayland made must still be everyone's.
    if not os.path.isdir("/tmp/.X11-unix"):
        os.makedirs("/tmp/.X11-unix", exist_ok=True)
        os.chmod("/tmp/.X11-unix", 0o1777)
    from kwin import KWin        # each imports this module
    from gnome import GnomeShell
    from mutter import Mutter
    from sway import Sway
    # A short name: sway's IPC socket in there must fit a socket address.
    work = tempfile.mkdtemp(prefix=f"skorrel-{o.compositor}-")
    kind = GnomeShell if o.desktop and o.compositor == "mutter" else {"sway": Sway, "mutter": Mutter, "kwin": KWin}[o.compositor]
    comp = kind(
        work, o.probe, o.vpointer, o.size, o.scale, o.monitors, locks=not o.no_lock, nox=o.no_xwayland)
    comp.device, comp.label, comp.desktop = o.device, o.label, o.desktop
    comp.qt_platform, comp.own_windows = o.qt_platform, o.wayland_window
    try:
        comp.start()
        session = comp
        measure(comp)
        for device in ("rel", "abs") if o.device == "both" else (o.device,):
            if o.device == "both":
                comp.device, comp.label = device, o.label.replace("both", device)
                log("played by", "a mouse" if device == "rel" else "a tablet")
            play(comp, o)
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


def main(scenarios, more=None):
    """A script's entry: scenarios maps --scenario's names to play(comp, o)."""
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    o = options(scenarios, more=more)
    sys.exit(run(o, scenarios[o.scenario]))

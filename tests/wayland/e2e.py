#!/usr/bin/python3
"""Plays the real game in a real Wayland compositor, started headless here,
as an ordinary user (run.sh drops root first). A case is its flags
(--help): --compositor, --monitors, --no-xwayland, --no-lock, --scenario,
--device, --size, --scale, --qt-platform. Every expectation comes from the X screen the
game measures (XWayland's primary monitor), and every move is given in its
pixels: each compositor's unit of relative motion is measured first."""
import harness
import scenarios
from desktop import desktop
from late_lock import late_lock
from stress import stress

if __name__ == "__main__":
    harness.main({**scenarios.SCENARIOS, "stress": stress, "late-lock": late_lock, "desktop": desktop})

# Sourced by x11_run.sh: a whole desktop on the Xvfb of DISPLAY, as players
# run it. skorrel_desktop gnome|kde DIR starts it on a session bus of its
# own (exported), sets desktop_pid and adds the buses to bus_pids, each the
# leader of a process group that the caller stops.

# A dbus-daemon listening on DIR/NAME, its address exported as VAR.
skorrel_bus() {
  local socket=$1/$2 i
  # A group of its own, with the services it starts: stopped as one.
  setsid dbus-daemon --session --address="unix:path=$socket" --nofork --nopidfile </dev/null >/dev/null 2>&1 &
  bus_pids+=($!)
  for ((i = 0; i < 100; i++)); do [ -S "$socket" ] && break; sleep 0.05; done
  [ -S "$socket" ] || { echo "x11_run.sh: dbus-daemon did not start" >&2; return 1; }
  export "$3=unix:path=$socket"
}

skorrel_desktop() {
  local which=$1 dir=$2 i
  skorrel_bus "$dir" session-bus DBUS_SESSION_BUS_ADDRESS || return 1
  export SKORREL_DESKTOP=$which
  # What the desktops write of their own (dconf, kwinrc) stays in HOME.
  export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
  case $which in
    gnome)
      # The shell wants a system bus: an empty one of its own serves.
      skorrel_bus "$dir" system-bus DBUS_SYSTEM_BUS_ADDRESS || return 1
      local run=(gnome-shell --x11 --replace)
      # Where systemd keeps seats the shell insists on logind, which a
      # session started by hand has not got: a folder of its own over
      # /run/systemd, in a mount namespace (a user namespace for an
      # ordinary user, where that user stands as root).
      if [ -d /run/systemd/seats ]; then
        local ns=(unshare -m)
        [ "$(id -u)" -eq 0 ] || ns=(unshare -r -m)
        run=("${ns[@]}" sh -c 'mount -t tmpfs tmpfs /run/systemd && exec "$@"' sh "${run[@]}")
      fi
      setsid "${run[@]}" </dev/null >"$dir/desktop.log" 2>&1 &
      desktop_pid=$!
      # Up once its D-Bus interface answers; it starts in the overview.
      for ((i = 0; i < 300; i++)); do
        gnome_overview >/dev/null 2>&1 && break
        kill -0 "$desktop_pid" 2>/dev/null || break
        sleep 0.1
      done
      gnome_overview >/dev/null 2>&1 || { echo "GNOME Shell did not start:" >&2; tail -n 20 "$dir/desktop.log" >&2; return 1; }
      gnome_overview false
      ;;
    kde)
      setsid kwin_x11 --replace </dev/null >"$dir/desktop.log" 2>&1 &
      desktop_pid=$!
      # Up once it composites.
      for ((i = 0; i < 300; i++)); do
        kde_composited && break
        kill -0 "$desktop_pid" 2>/dev/null || break
        sleep 0.1
      done
      kde_composited || { echo "KWin did not start compositing:" >&2; tail -n 20 "$dir/desktop.log" >&2; return 1; }
      ;;
    *) echo "x11_run.sh: no desktop $which" >&2; return 2 ;;
  esac
}

# GNOME Shell's overview: "true" or "false"; with an argument, opens or
# closes it.
gnome_overview() {
  local call=(gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell
              --method org.freedesktop.DBus.Properties)
  if [ $# -gt 0 ]; then "${call[@]}.Set" org.gnome.Shell OverviewActive "<$1>" >/dev/null; return; fi
  "${call[@]}.Get" org.gnome.Shell OverviewActive | sed -E 's/^\(<(true|false)>,\)$/\1/'
}

# KWin's effects that run now, one a line.
kde_effects() {
  gdbus call --session --dest org.kde.KWin --object-path /Effects \
    --method org.freedesktop.DBus.Properties.Get org.kde.kwin.Effects activeEffects |
    grep -oE "'[^']+'" | tr -d "'"
}

kde_composited() {
  gdbus call --session --dest org.kde.KWin --object-path /Compositor \
    --method org.freedesktop.DBus.Properties.Get org.kde.kwin.Compositing active 2>/dev/null | grep -q true
}

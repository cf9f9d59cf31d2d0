# Sourced by the scripts that need a virtual display: starts an Xvfb.
# Usage: skorrel_xvfb WxH DIR [Xvfb options...]
# Sets XVFB_PID and exports DISPLAY; DIR gets the server's log.
# SKORREL_X_DISPLAYS ("91-99", "91 95", "91,93-94") limits the display
# numbers tried, for machines where several people share one X lock space;
# without it the server takes the first free number.
skorrel_xvfb() {
  local size=$1 dir=$2
  shift 2
  local numbers=() item i list=${SKORREL_X_DISPLAYS:-}
  for item in ${list//,/ }; do
    if [[ $item =~ ^([0-9]+)-([0-9]+)$ ]]; then
      for ((i = BASH_REMATCH[1]; i <= BASH_REMATCH[2]; i++)); do numbers+=("$i"); done
    elif [[ $item =~ ^[0-9]+$ ]]; then
      numbers+=("$item")
    else
      echo "SKORREL_X_DISPLAYS: cannot read '$item'" >&2
      return 2
    fi
  done
  # Xvfb's own pick trusts the lock files alone; when a live server's lock
  # has gone it takes that number and fails: then every number with
  # neither a lock nor a socket.
  [ -n "$list" ] || numbers=(any $(seq 0 99))

  local n
  for n in "${numbers[@]}"; do
    local name=()
    if [ "$n" != any ]; then
      # Taken by someone else's server (or a stale lock or socket): next one.
      [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
      name=(":$n")
    fi
    : >"$dir/display"
    # -displayfd: the number is written once the server accepts clients.
    Xvfb "${name[@]}" -displayfd 3 -screen 0 "${size}x24" -nolisten tcp "$@" 3>"$dir/display" 2>"$dir/xvfb.log" &
    XVFB_PID=$!
    for ((i = 0; i < 100; i++)); do
      [ -s "$dir/display" ] && break
      kill -0 "$XVFB_PID" 2>/dev/null || break
      sleep 0.05
    done
    if [ -s "$dir/display" ]; then
      export DISPLAY=":$(head -n1 "$dir/display")"
      return 0
    fi
    # Lost a race for that number, or the server would not start.
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=""
  done
  echo "Xvfb did not start (displays tried: ${numbers[*]})" >&2
  [ -s "$dir/xvfb.log" ] && cat "$dir/xvfb.log" >&2
  return 1
}

# Sourced by the Wayland benchmarks: bench_sway [WxH] starts sway headless
# in a private runtime folder, with its XWayland, as an ordinary user
# (nobody when run as root: sway refuses root, and a player is not root);
# bench_run runs a command in that session as that user. Stopped on exit.
bench_work=$(mktemp -d)
chmod 755 "$bench_work"
bench_sway_pid=""
bench_stop() {
  if [ -n "$bench_sway_pid" ]; then kill "$bench_sway_pid" 2>/dev/null; wait "$bench_sway_pid" 2>/dev/null || true; fi
  rm -rf "$bench_work"
}
trap bench_stop EXIT
trap "exit 1" INT TERM
bench_user=()
[ "$(id -u)" -eq 0 ] && bench_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
bench_env=(env -i "PATH=$PATH" "HOME=$bench_work" "XDG_RUNTIME_DIR=$bench_work/runtime" XDG_SESSION_TYPE=wayland
  LANG=C.UTF-8)
# Execs, so that a "bench_run ... &" leaves the program's own pid in $!.
bench_run() { exec "${bench_user[@]}" "${bench_env[@]}" "$@"; }
bench_run_sub() { (bench_run "$@"); }

bench_sway() {
  local size=${1:-1024x768} rt="$bench_work/runtime" i
  mkdir -m 700 "$rt"
  # sway 1.7 grants no pointer lock without a seat section.
  cat >"$bench_work/sway.config" <<CONF
output HEADLESS-1 mode $size position 0 0
default_border none
default_floating_border none
focus_follows_mouse no
floating_minimum_size 1 x 1
seat * pointer_constraint enable
CONF
  [ "$(id -u)" -eq 0 ] && chown -R nobody:nogroup "$bench_work"
  (bench_run WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    sway -c "$bench_work/sway.config" >"$bench_work/sway.log" 2>&1) &
  bench_sway_pid=$!
  local sock="" ipc=""
  for i in $(seq 150); do
    sock=$(cd "$rt" && ls -d wayland-* 2>/dev/null | grep -v '\.lock$' | head -n1 || true)
    ipc=$(cd "$rt" && ls -d sway-ipc.* 2>/dev/null | head -n1 || true)
    [ -n "$sock" ] && [ -n "$ipc" ] && break
    sleep 0.1
  done
  if [ -z "$sock" ] || [ -z "$ipc" ]; then
    echo "sway did not start:" >&2
    tail -n 30 "$bench_work/sway.log" >&2
    return 1
  fi
  bench_env+=("WAYLAND_DISPLAY=$sock" "SWAYSOCK=$rt/$ipc")
  # XWayland's display, as sway gives it to what it starts.
  (bench_run swaymsg exec "printenv DISPLAY > $bench_work/display.tmp && mv $bench_work/display.tmp $bench_work/display" >/dev/null)
  for i in $(seq 100); do
    [ -s "$bench_work/display" ] && break
    sleep 0.1
  done
  if [ ! -s "$bench_work/display" ]; then
    echo "sway did not say where XWayland is" >&2
    return 1
  fi
  bench_env+=("DISPLAY=$(cat "$bench_work/display")")
}

# The binaries, where the session's user can run them.
bench_copy() {
  mkdir -p "$bench_work/app"
  cp "$@" "$bench_work/app/"
  [ "$(id -u)" -eq 0 ] && chown -R nobody:nogroup "$bench_work/app"
  return 0
}

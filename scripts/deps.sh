# Sourced by ./run and ./test: installs the Debian packages that are missing.
# Usage: skorrel_install <package>...

skorrel_install() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # Packages of a foreign architecture (wine32:i386) need it added first;
  # its package lists only come with the update after that.
  local arch
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*:\([a-z0-9]*\)$/\1/p' | sort -u); do
    [ "$arch" = "$(dpkg --print-architecture)" ] && continue
    dpkg --print-foreign-architectures | grep -qx "$arch" && continue
    echo "Adding the $arch architecture"
    "${sudo[@]}" dpkg --add-architecture "$arch"
    "${sudo[@]}" apt-get update
  done
  if ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"; then
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

# skorrel_install_begin <log> <package>... [-- <package>...]...: the same,
# in the background, group by group, so that a build can go on beside it;
# skorrel_install_wait [N] waits until the first N groups are in (all of
# them without N) and fails with the log if installing failed. Asks for
# sudo's password first, in the foreground, when there is anything to
# install.
skorrel_install_begin() {
  local log=$1 p missing=0
  shift
  SKORREL_INSTALL_PID=""
  SKORREL_INSTALL_LOG=$log
  rm -f "$log.groups"
  for p in "$@"; do
    [ "$p" = -- ] && continue
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing=1
  done
  [ $missing = 1 ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo -v
  echo "Installing the rest in the background (log: $log)"
  (
    group=()
    for p in "$@" --; do
      if [ "$p" = -- ]; then
        skorrel_install "${group[@]}" || exit 1
        echo >>"$log.groups"
        group=()
        # What comes after the first group installs beside the tests: at
        # the lowest priority, as the other builds run.
        renice -n 19 -p "$BASHPID" >/dev/null 2>&1 || true
      else
        group+=("$p")
      fi
    done
  ) >"$log" 2>&1 </dev/null &
  SKORREL_INSTALL_PID=$!
}
# How many of the background groups are in (none before the first).
skorrel_groups_in() {
  if [ -f "$SKORREL_INSTALL_LOG.groups" ]; then
    wc -l <"$SKORREL_INSTALL_LOG.groups"
  else
    echo 0
  fi
}
skorrel_install_wait() {
  [ -n "${SKORREL_INSTALL_PID:-}" ] || return 0
  if [ $# -gt 0 ]; then
    # Also from a subshell, which cannot wait for it: done once the
    # groups are in, failed if it ended before.
    while :; do
      [ "$(skorrel_groups_in)" -ge "$1" ] && return 0
      kill -0 "$SKORREL_INSTALL_PID" 2>/dev/null || break
      sleep 1
    done
    [ "$(skorrel_groups_in)" -ge "$1" ] && return 0
    cat "$SKORREL_INSTALL_LOG" >&2
    echo "Installing the packages failed (log: $SKORREL_INSTALL_LOG)" >&2
    return 1
  fi
  if ! wait "$SKORREL_INSTALL_PID"; then
    cat "$SKORREL_INSTALL_LOG" >&2
    echo "Installing the packages failed (log: $SKORREL_INSTALL_LOG)" >&2
    return 1
  fi
  SKORREL_INSTALL_PID=""
  rm -f "$SKORREL_INSTALL_LOG.groups"
}

# What building and playing on Linux needs.
SKORREL_BUILD_PACKAGES=(build-essential cmake pkg-config qt6-base-dev qt6-wayland libx11-dev libxfixes-dev libxrandr-dev libgl-dev
  libwayland-dev libwayland-bin wayland-protocols fonts-ipafont-gothic)
# What running the game headless and driving it needs.
SKORREL_X_PACKAGES=(xvfb xauth xdotool x11-utils x11-xserver-utils imagemagick openbox)
# What playing in real Wayland compositors, headless, needs.
SKORREL_WAYLAND_PACKAGES=(sway mutter kwin-wayland plasma-wayland-protocols xwayland grim wtype dbus python3
  python3-dbus pipewire pipewire-bin wireplumber)
# Whole desktops as players run them, on X11 and on Wayland: GNOME Shell,
# and KDE Plasma's KWin with its Breeze decoration and the QML its Present
# Windows and Overview are drawn with (else its screen edges open nothing).
SKORREL_DESKTOP_PACKAGES=(gnome-shell kwin-x11 breeze libglib2.0-bin plasma-framework qml-module-qtquick2
  qml-module-qtquick-window2 qml-module-qtquick-layouts qml-module-qtgraphicaleffects qml-module-org-kde-kirigami2)
# The 32-bit Wine, for the 32-bit exe. Without XInput2 it cannot clip the
# pointer (ClipCursor does nothing); the other X libraries it loads at run
# time for the screen size, several screens, cursors and drawing.
SKORREL_WINE32_PACKAGES=(wine32:i386 libxi6:i386 libxrandr2:i386 libxinerama1:i386
  libxcursor1:i386 libxrender1:i386 libxfixes3:i386)
# What building the tests adds (the benchmarks are built there too, so they
# keep building).
SKORREL_TEST_BUILD_PACKAGES=(googletest libgtest-dev libxtst-dev plasma-wayland-protocols)
# The icon tools check that the icons are what packaging/skorrel.svg makes,
# and the exes' icons.
SKORREL_ICON_PACKAGES=(librsvg2-bin icoutils)
# What the other builds need: MinGW for the Windows ones, clang for the
# fuzzer.
SKORREL_OTHER_BUILD_PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  binutils-mingw-w64-i686 clang libclang-rt-14-dev "${SKORREL_ICON_PACKAGES[@]}")
# Wine, for the Windows builds' tests.
SKORREL_WINE_PACKAGES=(wine64 "${SKORREL_WINE32_PACKAGES[@]}")
# What the tests add, all told.
SKORREL_TEST_PACKAGES=("${SKORREL_TEST_BUILD_PACKAGES[@]}" "${SKORREL_OTHER_BUILD_PACKAGES[@]}"
  "${SKORREL_WINE_PACKAGES[@]}")
# What the benchmarks add.
SKORREL_BENCH_PACKAGES=(libxtst-dev strace linux-perf
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)
# What building and checking the .deb adds (dpkg-shlibdeps needs file).
SKORREL_PACKAGE_PACKAGES=(dpkg-dev file desktop-file-utils appstream lintian)

#!/usr/bin/env bash
# The Debian package: built with CPack, its contents, dependencies and
# documents checked, lintian run on it; then one race played from it.
# As root (as CI runs it) the package is installed with apt, played from
# /usr/games as an ordinary user (so the history goes to the per-user data
# folder) and removed again; a skorrel that was installed before is put
# back. As anyone else nothing is installed: the package is unpacked into a
# scratch folder and played from there, read-only as an installed copy.
# SKORREL_DEB_AS_ROOT=1 plays as root instead of nobody, and the record is
# then looked for beside the game.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
# --build-only: the build, nothing installed or checked (./test builds it
# early, beside its tests).
build_only=0
[ "${1:-}" = --build-only ] && build_only=1
. scripts/deps.sh
[ $build_only = 1 ] || skorrel_install "${SKORREL_BUILD_PACKAGES[@]}" "${SKORREL_X_PACKAGES[@]}" "${SKORREL_PACKAGE_PACKAGES[@]}"
root=0
[ "$(id -u)" -eq 0 ] && root=1
# Other scripts may be installing packages at the same time: wait for the lock.
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -y -q)
# Debian's PATH for a login, which is what the menu entry starts skorrel from.
user_path=/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games

cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DSKORREL_BUILD_GAME=ON \
    -DSKORREL_BUILD_TESTS=OFF -DSKORREL_BUILD_BENCH=OFF >/dev/null
cmake --build build-deb -j2
[ build-deb/x11_probe -nt tests/x11_probe.cpp ] ||
    c++ -std=c++20 -O2 -Wall -Wextra -Wpedantic tests/x11_probe.cpp -lX11 -lXrandr -o build-deb/x11_probe
[ $build_only = 0 ] || exit 0
rm -f build-deb/skorrel_*.deb
(cd build-deb && cpack -G DEB >/dev/null)
debs=(build-deb/skorrel_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || { echo "test-deb: cpack made no single skorrel_*.deb" >&2; exit 1; }

PROBE=$PWD/build-deb/x11_probe SHOTS=$PWD/build-deb/shots
. tests/e2e/lib.sh
set +e  # from here on every check counts, as in the end-to-end scripts

work=$(mktemp -d)
chmod 755 "$work"  # apt's download user and the player both read from it
cp "${debs[0]}" "$work/"
deb=$work/$(basename "${debs[0]}")
chmod 644 "$deb"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-deb/CMakeCache.txt)
arch=$(dpkg --print-architecture)
log "package $(basename "$deb"), $(stat -c %s "$deb") bytes"

# --- What is in the package.
contents=$(dpkg-deb -c "$deb")
paths=$(awk '{ print $6 }' <<<"$contents" | sed 's|^\./|/|')
has() { grep -qxF "$1" <<<"$paths"; }
check "the game in /usr/games, executable" \
    grep -qE '^-rwxr-xr-x root/root +[0-9]+ .* \./usr/games/skorrel$' <<<"$contents"
check "menu entry under /usr/share/applications" has /usr/share/applications/org.skorrel.Skorrel.desktop
check "AppStream data under /usr/share/metainfo" has /usr/share/metainfo/org.skorrel.Skorrel.metainfo.xml
check "scalable icon in hicolor" has /usr/share/icons/hicolor/scalable/apps/skorrel.svg
for size in 16 32 48 64 128 256; do
    check "${size}x${size} icon in hicolor" has "/usr/share/icons/hicolor/${size}x${size}/apps/skorrel.png"
done
check "manual page in section 6" has /usr/share/man/man6/skorrel.6.gz
check "copyright and changelog.Debian.gz in /usr/share/doc/skorrel" \
    bash -c 'grep -qxF /usr/share/doc/skorrel/copyright <<<"$1" && grep -qxF /usr/share/doc/skorrel/changelog.Debian.gz <<<"$1"' _ "$paths"
check "nothing outside /usr" test -z "$(grep -v '^/usr/' <<<"$paths" | grep -vx /)"

field() { dpkg-deb -f "$deb" "$1"; }
pkg_version=$(field Version)
check "Package: skorrel (got $(field Package))" test "$(field Package)" = skorrel
check "Version: $version and a Debian revision (got $pkg_version)" \
    bash -c '[[ $1 =~ ^$2-[0-9]+$ ]]' _ "$pkg_version" "${version//./\\.}"
check "Architecture: $arch (got $(field Architecture))" test "$(field Architecture)" = "$arch"
check "Section: games" test "$(field Section)" = games
depends=$(field Depends)
log "Depends: $depends"
dep_names=$(tr ',|' '\n\n' <<<"$depends" | sed -E 's/\(.*\)//; s/[[:space:]]//g' | sed '/^$/d')
for lib in libqt6core6 libqt6gui6 libqt6widgets6; do
    check "Depends has $lib with a version from shlibdeps" grep -qE "(^|, )$lib \(>= [0-9.]+\)" <<<"$depends"
done
check "Depends has a Japanese font" grep -qE '(^|, )fonts-ipafont-gothic \| fonts-noto-cjk(,|$)' <<<"$depends"
# Qt loads its Wayland plugin at run time, which shlibdeps cannot see.
check "Depends has Qt's Wayland platform" grep -qE '(^|, )qt6-wayland(,|$)' <<<"$depends"

x=$work/extract
dpkg-deb -x "$deb" "$x"
check "the game is stripped" bash -c 'file -b "$1" | grep -q ", stripped"' _ "$x/usr/games/skorrel"
# Every library the game links must come from a package it depends on.
# The path the loader picks, asked of dpkg as it is, resolved, and with or
# without /usr (merged /usr registers files under either); one dpkg call.
declare -A lib_path
while read -r so _ path _; do [ -n "$path" ] && lib_path[$so]=$path; done < <(ldd "$x/usr/games/skorrel" | grep '=>')
candidates() { local p; for p in "$1" "$(realpath "$1")"; do echo "$p" "${p#/usr}" "/usr$p"; done; }
owners=$(dpkg -S $(for so in "${!lib_path[@]}"; do candidates "${lib_path[$so]}"; done) 2>/dev/null)
for so in $(objdump -p "$x/usr/games/skorrel" | awk '/NEEDED/ { print $2 }'); do
    pkg=""
    for c in $(candidates "${lib_path[$so]:-/nonexistent/$so}"); do
        pkg=$(awk -v c="$c" '$NF == c { sub(/:.*/, "", $1); print $1; exit }' <<<"$owners")
        [ -n "$pkg" ] && break
    done
    if [ -z "$pkg" ]; then fail "no package holds $so"; continue; fi
    check "$so from $pkg, which the package depends on" grep -qxF "$pkg" <<<"$dep_names"
done
check "menu entry valid" desktop-file-validate "$x/usr/share/applications/org.skorrel.Skorrel.desktop"
check "menu entry starts skorrel with the skorrel icon" \
    bash -c 'grep -qx Exec=skorrel "$1" && grep -qx Icon=skorrel "$1"' _ "$x/usr/share/applications/org.skorrel.Skorrel.desktop"
check "AppStream data valid" bash -c 'appstreamcli validate --no-net --pedantic "$1" >/dev/null' \
    _ "$x/usr/share/metainfo/org.skorrel.Skorrel.metainfo.xml"

doc=$x/usr/share/doc/skorrel
check "changelog.Debian.gz names the package's version ($pkg_version)" \
    test "$(zcat "$doc/changelog.Debian.gz" | dpkg-parsechangelog -l - -S Version 2>/dev/null)" = "$pkg_version"
check "copyright in the machine-readable format" \
    test "$(head -n1 "$doc/copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
# The copyright's licence paragraph, unfolded, is LICENSE from "Permission" on.
licence_matches() {
    diff <(awk '/^License: Expat$/ { n = 0; next }
                { sub(/^ /, ""); if ($0 == ".") $0 = ""; line[++n] = $0 }
                END { for (i = 1; i <= n; i++) print line[i] }' "$doc/copyright") \
         <(sed -n '/^Permission/,$p' LICENSE) >&2
}
check "copyright's licence text is LICENSE's" licence_matches
# Shown with its overrides and their reasons; an overridden tag is no fault.
lintian_clean() {
    # Its scratch files (it leaves some behind) go with ours.
    TMPDIR=$work lintian --fail-on none --show-overrides "$deb" 2>&1 | grep -v "running with root privileges" >"$work/lintian.log"
    local ran=${PIPESTATUS[0]}
    cat "$work/lintian.log"
    [ "$ran" = 0 ] && ! grep -qE '^[EW]: ' "$work/lintian.log"
}
check "lintian: no errors, no warnings" lintian_clean

# --- Install it (root only). A skorrel already on the machine is put back
# at the end.
prior=$(dpkg-query -W -f='${Status} ${Version}' skorrel 2>/dev/null)
prior_version=""
[ "$root" = 1 ] && [[ $prior == "install ok installed "* ]] && prior_version=${prior##* }
prior_deb=""
if [ "$root" = 1 ] && [ -n "$prior_version" ]; then
    log "skorrel $prior_version was installed before the test"
    prior_deb=$(ls /var/cache/apt/archives/skorrel_"${prior_version}"_*.deb 2>/dev/null | head -n1)
fi
xvfb_pid="" GAME_PID="" installed=0 saved_root_history=""
finish() {
    [ -n "$GAME_PID" ] && kill "$GAME_PID" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    if [ -n "$saved_root_history" ]; then cp -p "$saved_root_history" "$root_history"; fi
    if [ "$installed" = 1 ] && dpkg-query -W -f='${Status}' skorrel 2>/dev/null | grep -q 'ok installed'; then
        "${apt[@]}" remove skorrel >/dev/null
    fi
    if [ -n "$prior_version" ]; then
        # The same version is what we just built; an older one only if apt kept its file.
        local back=$prior_deb
        [ "$prior_version" = "$pkg_version" ] && back=$deb
        if [ -n "$back" ] && [ -f "$back" ]; then
            "${apt[@]}" install --reinstall "$back" >/dev/null 2>&1 && log "put back skorrel from $back"
        else
            echo "test-deb: skorrel $prior_version was installed before; no package file to put it back" >&2
        fi
    fi
    chmod -R u+w "$x" 2>/dev/null
    rm -rf "$work"
}
trap finish EXIT

root_history=""
if [ "$root" = 1 ]; then
    installed=1
    "${apt[@]}" install --reinstall "$deb" >"$work/apt-install.log" 2>&1 ||
        { cat "$work/apt-install.log" >&2; fail "apt-get install"; exit 1; }
    check "dpkg knows skorrel $pkg_version as installed" \
        test "$(dpkg-query -W -f='${Status} ${Version}' skorrel)" = "install ok installed $pkg_version"
    check "/usr/games/skorrel installed" test -x /usr/games/skorrel
    check "skorrel found on a login's PATH, as the menu entry starts it" \
        test "$(PATH=$user_path command -v skorrel)" = /usr/games/skorrel
    check "every library of /usr/games/skorrel found" bash -c '! ldd /usr/games/skorrel | grep -q "not found"'
    check "menu entry installed" test -f /usr/share/applications/org.skorrel.Skorrel.desktop
    game=skorrel game_dir=/usr/games
else
    echo "test-deb: system install skipped: not root, and only root's run (as CI) installs, plays and removes the package; playing the unpacked package from $x instead"
    check "every library of the unpacked game found" bash -c '! ldd "$1" | grep -q "not found"' _ "$x/usr/games/skorrel"
    # Read-only, as an installed copy is to its player.
    chmod -R a-w "$x"
    game=$x/usr/games/skorrel game_dir=$x/usr/games
fi
root_history=$game_dir/time_atack.txt

# --- Play one race, as a player who cannot write beside the game.
if [ "$root" = 0 ]; then
    player=$(id -un) as=() case_tested="an ordinary user ($player), the unpacked package"
elif [ -z "${SKORREL_DEB_AS_ROOT:-}" ] && command -v setpriv >/dev/null && id nobody >/dev/null 2>&1; then
    player=nobody as=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups)
    case_tested="root's test, the game run as nobody"
else
    player=root as=() case_tested="root: /usr/games is writable"
fi
log "player: $case_tested"
mkdir -p "$work/home" "$work/data" "$work/runtime"
chmod 700 "$work/runtime"
[ "$player" = "$(id -un)" ] || chown "$player": "$work/home" "$work/data" "$work/runtime"

. scripts/xvfb.sh
SKORREL_X_DISPLAYS=${SKORREL_X_DISPLAYS:-81-89} skorrel_xvfb 800x600 "$work" -noreset && xvfb_pid=$XVFB_PID
[ -n "$xvfb_pid" ] || { fail "no Xvfb"; exit 1; }
log "Xvfb on $DISPLAY"

user_history=$work/data/skorrel/time_atack.txt
if [ "$player" = root ] && [ -e "$root_history" ]; then
    saved_root_history=$work/root-history.txt
    cp -p "$root_history" "$saved_root_history"
fi
root_digest() { md5sum 2>/dev/null <"$root_history"; }
root_before=$(root_digest || echo none)

(cd "$work/home" && exec "${as[@]}" env -i PATH="$user_path" HOME="$work/home" \
    XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" DISPLAY="$DISPLAY" LANG=C.UTF-8 \
    "$game") >"$work/game.log" 2>&1 &
GAME_PID=$!
WIN=$(wait_window "$TITLE" 10) || { fail "the game window did not appear"; cat "$work/game.log" >&2; exit 1; }
screen_size
CX=$(half_even "$SW") CY=$(half_even "$SH")
HISTORY=$user_history
check "window centred at start-up" centred
check "client area 248x48 (got ${KW}x${KH})" test "${KW}x${KH}" = 248x48
check "no history file before the first race" test ! -e "$user_history"
shot deb-1-start

click_start
started=$(now_ms)
sleep 0.3
move 0 0
check "held in the square against a move to 0,0" in_square
wait_for_go || exit 1
check "go! about 3.5 s after the press ($((GO_SEEN - started)) ms)" \
    test $((GO_SEEN - started)) -ge 3400 -a $((GO_SEEN - started)) -le 4600
before_edges=$(now_ms)
move $((SW - 1)) "$CY"; sleep 0.03
move "$CX" $((SH - 1)); sleep 0.03
move 0 "$CY"; sleep 0.03
move "$CX" 0
done_at=$(now_ms)

# Where did the record go? Only the root case may write beside the game.
for _ in $(seq 60); do
    [ -s "$user_history" ] && break
    [ "$(root_digest || echo none)" != "$root_before" ] && break
    sleep 0.05
done
if [ "$player" = root ] && [ "$(root_digest || echo none)" != "$root_before" ]; then
    log "the record went beside the game: $root_history"
    sleep 0.2
    cp "$root_history" "$work/recorded.txt"
    HISTORY=$work/recorded.txt
    [ -n "$saved_root_history" ] || rm -f "$root_history"  # finish puts a saved one back
else
    check "nothing written beside the game in $game_dir" test "$(root_digest || echo none)" = "$root_before"
fi
if [ "$HISTORY" = "$user_history" ]; then
    check "record in \$XDG_DATA_HOME/skorrel/time_atack.txt" wait_lines 1
    check "exactly one record" test "$(lines)" = 1
    check "the file belongs to the player ($player)" test "$(stat -c %U "$user_history" 2>/dev/null)" = "$player"
    check_history $((before_edges - GO_SEEN)) $((done_at - HELD_UNTIL + 150)) "$started"
else
    check "exactly one new record beside the game" test "$(tail -n +"$(($(grep -c '' "$saved_root_history" 2>/dev/null || echo 0) + 1))" "$HISTORY" | grep -c '')" = 1
    check_history $((before_edges - GO_SEEN)) $((done_at - HELD_UNTIL + 150)) "$started"
fi
sleep 0.3
shot deb-2-recorded
close_game
GAME_PID=""
kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; xvfb_pid=""

# --- Remove it (root only): the game and its menu entry go.
if [ "$root" = 1 ]; then
    "${apt[@]}" remove skorrel >"$work/apt-remove.log" 2>&1 || { cat "$work/apt-remove.log" >&2; fail "apt-get remove"; }
    installed=0
    check "dpkg no longer has skorrel installed" bash -c '! dpkg-query -W -f="\${Status}" skorrel 2>/dev/null | grep -q "ok installed"'
    check "/usr/games/skorrel gone" test ! -e /usr/games/skorrel
    check "menu entry gone" test ! -e /usr/share/applications/org.skorrel.Skorrel.desktop
    check "AppStream data gone" test ! -e /usr/share/metainfo/org.skorrel.Skorrel.metainfo.xml
    check "manual page gone" test ! -e /usr/share/man/man6/skorrel.6.gz
    check "icons gone" bash -c '! ls /usr/share/icons/hicolor/*/apps/skorrel.* >/dev/null 2>&1'
fi

if ((failures)); then echo "test-deb: $failures check(s) failed" >&2; exit 1; fi
log "tested: $case_tested"
echo "test-deb: passed in $(($(date +%s) - start)) s"

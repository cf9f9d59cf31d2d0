#!/usr/bin/env bash
# Drives skorrel.exe under Wine on its own Xvfb: its window's icon, a new
# best, a run over ten seconds, and a close during a race. The exe's own
# Wine runs it: the 32-bit one for a 32-bit exe. DPI sets LogPixels in the
# prefix, as Windows' scaling setting does (144 is 150 %): the window
# follows from the same twips, the pointer stays in device pixels.
# Usage: tests/wine/e2e.sh <skorrel.exe> <win_probe.exe> [DPI]
# WINEPREFIX must be set up for the exe's kind; SKORREL_SHOTS is where the
# screenshots go (by default beside the exe).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=$(realpath "$1")
probe_exe=$(realpath "$2")
dpi=${3:-96}
: "${WINEPREFIX:?}"
export WINEDEBUG=-all
# Wine reads file names and command lines in the locale's encoding, and the
# game's folder and titles are Japanese.
export LC_ALL=C.UTF-8

# The PE header's machine field picks the Wine.
pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
case $(od -An -tx2 -j$((pe + 4)) -N2 "$exe" | tr -d ' ') in
    014c) wine=/usr/lib/wine/wine bits=32 ;;
    8664) wine=/usr/lib/wine/wine64 bits=64 ;;
    *) echo "e2e: $exe is not an x86 Windows program" >&2; exit 2 ;;
esac
tag=wine$bits-${dpi}dpi
shots=${SKORREL_SHOTS:-$(dirname "$exe")/shots}
mkdir -p "$shots"

work=$(mktemp -d)
XVFB_PID="" game_pid=""
# Wine's desktop keeps the screen of the server it first met: each run
# starts and ends with no Wine left in the prefix.
cleanup() {
    [ -n "$game_pid" ] && kill "$game_pid" 2>/dev/null || true
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
/usr/lib/wine/wineserver -w

shot() { import -window root "$shots/$tag-$1.png"; }
fail() { echo "e2e $tag FAIL: $*" >&2; [ -n "${DISPLAY:-}" ] && shot failure 2>/dev/null; exit 1; }
step() { echo "e2e $tag: $*"; }
probe() { "$wine" "$probe_exe" "$@" | tr -d '\r'; }

# x / 2 rounded half to even, and pixels for twips at this dpi likewise.
half_even() { local q=$(($1 / 2)); if (($1 % 2 == 1 && q % 2 == 1)); then q=$((q + 1)); fi; echo $q; }
twips_px() {
    local n=$(($1 * dpi)) q r
    q=$((n / 1440)) r=$((n % 1440))
    if ((2 * r > 1440 || (2 * r == 1440 && q % 2 == 1))); then q=$((q + 1)); fi
    echo $q
}

# A screen as many inches across at 144 dpi as 800x600 is at 96.
SW=$((800 * dpi / 96)) SH=$((600 * dpi / 96))
. "$root/scripts/xvfb.sh"
skorrel_xvfb "${SW}x$SH" "$work" || exit 1
CX=$(half_even "$SW") CY=$(half_even "$SH")
# No window manager here: Wine draws the frames itself.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
# Windows draws Japanese in its dialog font through its own Japanese Gothic;
# under that Gothic's name Wine links the one from fonts-ipafont-gothic in.
"$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS UI Gothic' /d IPAGothic /f >/dev/null 2>&1

# A folder with Japanese letters and a space: the paths go through UTF-16.
dir="$work/ゲーム フォルダ"
mkdir -p "$dir"
cp "$exe" "$dir/skorrel.exe"
history="$dir/time_atack.txt"
printf '2020/01/01 00:00:00 9999 ms\r\n' >"$history"

"$wine" "$dir/skorrel.exe" &
game_pid=$!

find_window() {  # <title> <tries of 0.1 s>
    local id
    for _ in $(seq "$2"); do
        id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}
# No window manager gives the box the keyboard: click its OK button.
dismiss() {  # <window id> <title>
    local x y
    for _ in 1 2 3; do
        read -r x y < <(probe button "$2") || return 0  # gone: the checks after it tell
        xdotool mousemove "$x" "$y"
        sleep 0.2
        xdotool click 1
        sleep 0.5
        xdotool getwindowname "$1" >/dev/null 2>&1 || return 0
    done
}
# The box's Japanese is drawn in glyphs, not the font's missing-glyph boxes.
check_text() {  # <title>
    probe text "$1" || fail "the text of the box '$1' is not drawn as text"
}
where() { xdotool getmouselocation | sed 's/ screen.*//'; }
in_square() {
    local x y
    read -r x y < <(xdotool getmouselocation | sed -E 's/^x:([0-9-]+) y:([0-9-]+).*/\1 \2/')
    ((x >= CX - 2 && x <= CX - 1 && y >= CY - 2 && y <= CY - 1))
}
# Tries to leave the square until a move sticks: "go!" has released it.
wait_for_go() {
    for _ in $(seq 100); do
        xdotool mousemove $((CX + 40)) $((CY + 30))
        [ "$(where)" = "x:$((CX + 40)) y:$((CY + 30))" ] && return 0
        in_square || fail "pointer left the square during the count-in: $(where)"
        sleep 0.05
    done
    fail "the pointer was never released"
}
box_open() { xdotool search --name "^Skorrel 記録更新\$" >/dev/null 2>&1; }

title="Skorrel  Ver1.0   by Vesk"
find_window "$title" 600 >/dev/null || fail "no main window"
sleep 0.3
read -r FX FY FW FH KX KY KW KH QX QY < <(probe frame "$title") || fail "no frame from the probe"
step "screen ${SW}x$SH, frame ${FW}x$FH at $FX,$FY, client ${KW}x$KH at $KX,$KY"
# Centred: (screen - frame) / 2, a half to the even neighbour.
[ "$FX" = "$(half_even $((SW - FW)))" ] || fail "not centred across: $FX"
[ "$FY" = "$(half_even $((SH - FH)))" ] || fail "not centred down: $FY"
client=$(twips_px 3720)x$(twips_px 720)
[ "${KW}x$KH" = "$client" ] || fail "client area ${KW}x$KH, not $client"
# The labels' text in proportion: a 9 point font is 9 * dpi / 72 pixels
# high, and "Top Time:  9.999秒" covers most of that.
em=$((9 * dpi / 72))
while read -r height text; do
    step "label \"$text\": ink $height px high"
    [ $((10 * height)) -ge $((7 * em)) ] && [ $((10 * height)) -le $((11 * em)) ] ||
        fail "label \"$text\" is $height px high, not about $em"
done < <(probe labels "$title")
[ "$(probe labels "$title" | wc -l)" -eq 2 ] || fail "not two labels"
button_x=$((KX + KW / 5)) button_y=$((KY + KH / 2))
# The window wears the exe's icon 1. Wine hands a window's class icon and
# its small one to X as _NET_WM_ICON (Windows' generic icon where the
# class has none): each picture there is the one of its size in
# packaging/skorrel.ico, compared on white.
game_icon() {  # <X window>
    local sizes size differ
    sizes=$(xprop -id "$1" -notype 32c _NET_WM_ICON | LC_ALL=C awk -v out="$work/icon" '
        { sub(/^[^=]*= ?/, ""); n = split($0, v, /, */) }
        END {
            for (i = 1; i + 1 <= n && v[i] > 0; i += 2 + w * h) {
                w = v[i]; h = v[i + 1]; f = out "-" w ".ppm"
                printf "P3\n%d %d\n255\n", w, h > f
                for (p = 0; p < w * h; p++) {
                    c = v[i + 2 + p]; a = int(c / 16777216) % 256
                    r = int(c / 65536) % 256; g = int(c / 256) % 256; b = c % 256
                    printf "%d %d %d\n", (r * a + 255 * (255 - a)) / 255 + 0.5, (g * a + 255 * (255 - a)) / 255 + 0.5, (b * a + 255 * (255 - a)) / 255 + 0.5 > f
                }
                close(f); printf "%d ", w
            }
        }')
    step "_NET_WM_ICON of the window: ${sizes:-none} px"
    [ -n "$sizes" ] || return 1
    for size in $sizes; do
        rm -rf "$work/want" && mkdir -p "$work/want"
        icotool -x -w "$size" -o "$work/want" "$root/packaging/skorrel.ico" 2>/dev/null
        [ -n "$(ls "$work/want")" ] || { echo "no $size px picture in skorrel.ico" >&2; return 1; }
        convert "$work/want/"*.png -background white -flatten "$work/want.ppm"
        differ=$(compare -metric AE -fuzz 3% "$work/icon-$size.ppm" "$work/want.ppm" null: 2>&1)
        [ "$differ" = 0 ] || { echo "the $size px icon differs from skorrel.ico's in $differ pixels" >&2; return 1; }
    done
}
game_icon "$(find_window "$title" 1)" || fail "the window does not wear the game's icon"
shot start

# Each edge just short of the screen's last column or row, then the real
# ones: only the real ones finish the race.
edges() {  # right, bottom, left, then top after an optional pause
    for p in "$((SW - 2)) $CY" "$CX $((SH - 2))" "1 $CY" "$CX 1"; do xdotool mousemove $p; sleep 0.1; done
    sleep 0.3
    box_open && fail "a race finished short of the edges"
    for p in "$((SW - 1)) $CY" "$CX $((SH - 1))" "0 $CY"; do xdotool mousemove $p; sleep 0.15; done
    sleep "${1:-0}"
    xdotool mousemove "$CX" 0
}

# 1: a run under 9999 ms beats the seeded best.
step "race 1: a new best"
xdotool mousemove "$button_x" "$button_y" click 1
sleep 0.4
[ "$(where)" = "x:$((CX - 1)) y:$((CY - 1))" ] || fail "pointer not parked at $((CX - 1)),$((CY - 1)): $(where)"
for p in "10 10" "$((SW - 1)) $((SH - 1))"; do
    xdotool mousemove $p
    sleep 0.2
    in_square || fail "pointer left the 2x2 square for a move to $p during the count-in: $(where)"
done
shot countin
wait_for_go
edges
box=$(find_window "Skorrel 記録更新" 50) || fail "no new-record box"
sleep 0.3
shot record
check_text "Skorrel 記録更新"
[ "$(wc -l <"$history")" -eq 1 ] || fail "record written before the box was dismissed"
dismiss "$box" "Skorrel 記録更新"
for _ in $(seq 30); do [ "$(wc -l <"$history")" -eq 2 ] && break; sleep 0.1; done
[ "$(wc -l <"$history")" -eq 2 ] || fail "no record appended"
line=$(tail -n 1 "$history")
[[ "$line" =~ ^[0-9]{4}/[0-9]{2}/[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}\ [0-9]+\ ms$'\r'$ ]] || fail "bad record line: $(printf %q "$line")"
[ "$(grep -c $'\r$' "$history")" -eq 2 ] || fail "lines not ended by CR LF"
ms=$(echo "$line" | cut -d' ' -f3)
step "recorded ${ms#0} ms: $(printf %q "$line")"
[ "${ms#0}" -lt 9999 ] || fail "run not faster than the seeded best"
sleep 0.5
shot after-record

# 2: a run over ten seconds is refused and leaves the file alone.
step "race 2: over ten seconds"
before=$(md5sum <"$history")
xdotool mousemove "$button_x" "$button_y" click 1
sleep 0.4
wait_for_go
edges 10.3
box=$(find_window "Project1" 50) || fail "no over-ten-seconds box titled Project1"
sleep 0.3
shot over-ten
check_text Project1
dismiss "$box" Project1
sleep 0.5
[ "$(md5sum <"$history")" = "$before" ] || fail "refused run changed the history"
find_window "Project1" 5 >/dev/null && fail "box still open"

# 3: closing the window during a race ends the program with status 0.
step "race 3: closed during the race"
xdotool mousemove "$button_x" "$button_y" click 1
sleep 4.2
xdotool mousemove "$QX" "$QY" click 1
status=0
for _ in $(seq 50); do kill -0 "$game_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$game_pid" 2>/dev/null && fail "still running after the close"
wait "$game_pid" || status=$?
game_pid=""
[ "$status" -eq 0 ] || fail "exit status $status"
[ "$(md5sum <"$history")" = "$before" ] || fail "closing changed the history"
xdotool mousemove 10 10
[ "$(where)" = "x:10 y:10" ] || fail "pointer still held after exit"
step "all passed"

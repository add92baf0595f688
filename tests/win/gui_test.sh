#!/usr/bin/env bash
# The Windows panel under Wine on a virtual display, driven with the mouse and keyboard
# as an operator would (xdotool), and read back from outside (gui_probe.exe). Four
# sessions: the simulated controller at each precision with a stopped move (its idle
# CPU, with the Wine server's, reported as a figure); the stand-in FTD2XX.DLL with
# auto-connect, the About box and a settings file that is a link; a PC without the
# driver, closed with the close box; a session that ends (signing out) with the panel
# connected. Usage: gui_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
run="$(cd "$(dirname "$0")/../.." && pwd)/tools/wine-run.sh"
work=$(mktemp -d)
app_pid="" xvfb_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  timeout 20 wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own, on a number the server picks free.
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")"
xdpyinfo >/dev/null 2>&1 || { echo "FAIL: no virtual display" >&2; exit 1; }

# A copy of the build's Wine prefix, so a server of our own: the desktop process Wine
# starts with the first window keeps the display it was started on for the server's
# life. Its background services start on no output that ctest waits for.
export WINEPREFIX="$work/wine"
cp -a "$build/wine" "$WINEPREFIX"
wineserver -p5
timeout 60 "$run" cmd /c exit </dev/null >/dev/null 2>&1 || true

fail() {
  echo "FAIL: $*" >&2
  import -window root "$build/gui-test-failure.png" 2>/dev/null || true
  exit 1
}
probe() { timeout 15 "$run" "$build/gui_probe.exe" "$@" 2>/dev/null | tr -d '\r'; }
row() { probe | awk -v id="$1" '$1 == id { print; exit }'; }
text_of() { row "$1" | cut -d' ' -f7-; }
enabled() { [ "$(row "$1" | cut -d' ' -f2)" = 1 ]; }
has_text() { [ "$(text_of "$1")" = "$2" ]; }
window_open() { probe "${1:-Kavro VRX-330 Control v1.0}" >/dev/null; }
window_gone() { ! window_open "$@"; }
wait_for() {  # seconds, what, command...
  local end=$((SECONDS + $1)) what=$2
  shift 2
  until "$@"; do
    ((SECONDS < end)) || fail "$what (status: '$(text_of 1010)', current: '$(text_of 1009)')"
    sleep 0.2
  done
}
click() {
  local l t r b
  read -r l t r b < <(row "$1" | cut -d' ' -f3-6)
  xdotool mousemove $(((l + r) / 2)) $(((t + b) / 2)) click 1
}
type_size() {  # into the entry, replacing what is there
  click 1001
  xdotool key End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
  xdotool type --delay 50 "$1"
}
start() {  # folder, arguments...
  local folder=$1
  shift
  timeout 300 "$run" "$folder/irisdesk.exe" "$@" >/dev/null 2>&1 &
  app_pid=$!
  wait_for 30 "the panel opens" window_open
}
closed() {
  wait_for 15 "the panel closes" window_gone
  wait_for 15 "the program ends" eval '! kill -0 $app_pid 2>/dev/null'
  app_pid=""
}
ready() {  # the first reply enables the controls a moment before initialising begins
  wait_for 20 "the controls are enabled" enabled 1007
  sleep 1
  wait_for 20 "initialised and ready" enabled 1007
}
cpu_ticks() {  # user + system time of a process and its threads, in clock ticks
  local stat
  stat=$(cat "/proc/$1/stat") || return 1
  awk '{ print $12 + $13 }' <<<"${stat##*) }"  # past the name, which may hold spaces
}
idle_cpu() {  # reports the panel's and its Wine server's share of a core over 10 s
  local panel="" server="" p
  panel=$(pgrep -P "$app_pid" | head -1) || true
  for p in $(pgrep wineserver || true); do
    if grep -qxzF "WINEPREFIX=$WINEPREFIX" "/proc/$p/environ" 2>/dev/null; then server=$p; fi
  done
  if [ -z "$panel" ] || [ -z "$server" ]; then
    echo "idle CPU: not measured (processes not found)"
    return 0
  fi
  # The pointer off the window: resting on a button, it has Wine poll for its leaving
  # (a timer of its own, many times a second), which Windows does not.
  xdotool mousemove 0 0
  sleep 0.5
  local t0 p0 s0 t1 p1 s1
  t0=$(date +%s%N) p0=$(cpu_ticks "$panel") s0=$(cpu_ticks "$server")
  sleep 10
  t1=$(date +%s%N) p1=$(cpu_ticks "$panel") s1=$(cpu_ticks "$server")
  awk -v ms=$(((t1 - t0) / 1000000)) -v hz="$(getconf CLK_TCK)" -v p=$((p1 - p0)) -v s=$((s1 - s0)) 'BEGIN {
    k = 100000 / (hz * ms)  # ticks to % of one core
    printf "idle CPU over %.1f s, connected to the simulator: panel %.2f %%, wineserver %.2f %%, together %.2f %% of one core\n",
      ms / 1000, p * k, s * k, (p + s) * k }'
}
set_and_reach() {  # precision radio id, typed size, shown size
  click "$1"
  type_size "$2"
  click 1007
  wait_for 20 "the size reaches $3" has_text 1009 "$3"
  wait_for 5 "Set is back" has_text 1007 Set
}

echo "1. simulated controller"
mkdir "$work/sim"
cp "$build/irisdesk.exe" "$work/sim/"
start "$work/sim" --simulate
has_text 1012 "VRX-330 Simulator" || fail "the simulator is listed"
enabled 1007 && fail "Set starts disabled"
click 1013
wait_for 20 "connected" has_text 1010 "VRX-330 Controller Connected."
has_text 1013 Disconnect || fail "Connect reads Disconnect"
ready
idle_cpu  # a figure to read, not a check
set_and_reach 1002 3 3.00
set_and_reach 1003 5.5 5.50
set_and_reach 1004 7.25 7.25
type_size 0.5
click 1007
wait_for 5 "the move shows Stop" has_text 1007 Stop
click 1007
wait_for 5 "Stop ends the move" has_text 1007 Set
stopped=$(text_of 1009)
sleep 0.5
[ "$(text_of 1009)" = "$stopped" ] && [ "$stopped" != 0.50 ] || fail "the move stopped at $stopped"
click 1001
xdotool key Return
sleep 0.5
window_open || fail "Enter leaves the panel open"
xdotool key Escape
closed
ini=$(tr -d '\r' <"$work/sim/vrx330.ini")
for line in "Diaphragm Precision=100" "Last Diaphragm Value=50" "Auto Connect=0"; do
  grep -qx "$line" <<<"$ini" || fail "vrx330.ini holds '$line': $ini"
done

echo "2. stand-in FTD2XX.DLL, auto-connect, About box, settings through a link"
mkdir "$work/d2xx"
cp "$build/irisdesk.exe" "$build/d2xx-double/FTD2XX.dll" "$work/d2xx/"
printf '[settings]\r\nAuto Connect=1\r\nDiaphragm Precision=10\r\n; kept\r\n' >"$work/shared.ini"
ln -s ../shared.ini "$work/d2xx/vrx330.ini"
start "$work/d2xx"
wait_for 20 "auto-connected" has_text 1010 "VRX-330 Controller Connected."
has_text 1012 "VRX-330 Prüfstand (FT1A)" || fail "the 8-bit description is listed with its serial number: $(text_of 1012)"
ready
type_size 2.5
click 1007
wait_for 20 "the size reaches 2.50" has_text 1009 2.50
xdotool key alt+space  # the system menu; our item is its last
sleep 0.5
xdotool key Up Return
wait_for 10 "the About box opens" window_open "About IrisDesk"
xdotool key Return
wait_for 10 "the About box closes" window_gone "About IrisDesk"
window_open || fail "the panel stays after the About box"
click 1010  # the keyboard back on the panel: the box's owner may not have it yet
sleep 0.3
xdotool key alt+F4
closed
[ -L "$work/d2xx/vrx330.ini" ] || fail "the settings link is kept"
ini=$(tr -d '\r' <"$work/shared.ini")
for line in "Diaphragm Precision=10" "Last Diaphragm Value=25" "Auto Connect=1" "; kept"; do
  grep -qx "$line" <<<"$ini" || fail "the linked file holds '$line': $ini"
done

echo "3. no driver"
mkdir "$work/bare"
cp "$build/irisdesk.exe" "$work/bare/"
start "$work/bare"
wait_for 10 "Not Found is shown" has_text 1010 "VRX-330 Controller Not Found."
click 1013
wait_for 10 "Connect fails" has_text 1010 "VRX-330 Controller Not Connected."
eval "$(xdotool search --name "Kavro VRX-330 Control v1.0" getwindowgeometry --shell)"
xdotool mousemove $((X + WIDTH - 12)) $((Y + 11)) click 1  # the close box
closed
echo "4. a 144-dpi screen; the session ends (signing out) with the panel connected"
# Read by each program as it starts.
"$run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1 ||
  fail "the screen's DPI is set"
mkdir "$work/signout"
cp "$build/irisdesk.exe" "$work/signout/"
start "$work/signout" --simulate --trace "Z:${work//\//\\}\\signout\\trace.txt"
# The logo's place keeps its share of the dialog (55 of the size group's 74 dialog
# units down), and the picture fills it: an unscaled one would be 90 px of 131.
read -r l t r b < <(row 1015 | cut -d' ' -f3-6) || fail "the logo is there"
read -r _ gt _ gb < <(probe | awk '/ Diaphragm Size, mm $/ { print $3, $4, $5, $6; exit }') ||
  fail "the size group is there"
share=$((100 * (b - t) / (gb - gt)))
((share >= 70 && share <= 79)) || fail "the logo's place is ${share}% of the size group's height, not 74%"
import -window root "$work/dpi.png"
cp "$work/dpi.png" "$build/gui-test-144dpi.png"
read -r dw dh < <(convert "$work/dpi.png" -crop "$((r - l))x$((b - t))+$l+$t" +repage -fuzz 5% -trim \
  -format '%w %h\n' info:)
echo "logo at 144 dpi: drawn ${dw}x${dh} px in its $((r - l))x$((b - t)) place ($build/gui-test-144dpi.png)"
((100 * dh >= 80 * (b - t))) || fail "the logo fills its place: ${dw}x${dh} px drawn in $((r - l))x$((b - t))"
click 1013
wait_for 20 "connected" has_text 1010 "VRX-330 Controller Connected."
ready
click 1004
click 1014
[ "$(probe --end-session)" = "query 1" ] || fail "the panel lets the session end"
# Windows may end the process at any moment from here on: all is saved already.
wait_for 10 "the settings are saved as the session ends" test -f "$work/signout/vrx330.ini"
ini=$(tr -d '\r' <"$work/signout/vrx330.ini")
for line in "Diaphragm Precision=100" "Auto Connect=1"; do
  grep -qx "$line" <<<"$ini" || fail "vrx330.ini holds '$line': $ini"
done
last=$(tr -d '\r' <"$work/signout/trace.txt" | grep -v ' trace ends$' | tail -1)
[[ "$last" == *" ms  close" ]] || fail "the link ends with the device closed; the trace's last event: $last"
closed
echo "GUI test passed"

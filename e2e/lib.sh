# shellcheck shell=bash disable=SC2154
# The one toolkit of the scripts that run the real program under wine against the simulated PLC
# (e2e/run-wine-tests, e2e/run-wine-faults, tools/burn-demo, tools/bench-burn). Sourced, not run.
#
# Sourced as  . "$(dirname "$0")/../e2e/lib.sh" ART  with ART the folder of the logs and pictures
# (under artifacts/ when relative), its old ones removed; sets root (the source tree, also the
# working directory), art and log (the build log). The caller may set sim_image_length (the
# --image-length plcsim checks).
# Environment: MORVEX_WINDOWS_PRESET  the preset of the Windows builds (windows: the 32-bit
#                                     program that ships; windows-x64 for the other)
#              MORVEX_WINEPREFIX      the prepared prefix that each script copies
#                                     (~/.cache/morvex/wine)
#              PLCSIM                 the simulator program (found or built when unset)

set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1
art=$1
[[ "$art" = /* ]] || art="$root/artifacts/$art"
mkdir -p "$art"
rm -f "$art"/*.log "$art"/*.json "$art"/*.bin "$art"/*.bmp "$art"/*.png
log="$art/build.log"
export PATH="$root/tools/winebin:$PATH"  # wine with the loader of the program's width

# ---- Results ----------------------------------------------------------------------------------
passed=0
failed=0
check() {  # check NAME COMMAND...: one result
  local name="$1"
  shift
  if "$@" >/dev/null 2>&1; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
  fi
}
has() { grep -Fxq -- "$2" "$1"; }  # has FILE LINE: the driver printed exactly LINE
idle_after() { grep -q '^idle: ' "$1"; }  # idle_after LOG: the window came back to idle
# finish: prints "N passed, M failed" and ends, non-zero on any failure.
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}
die() {
  echo "error: $*" >&2
  failed=$((failed + 1))
  finish
}

# ---- Scenarios ----------------------------------------------------------------------------------
# pick SCENARIO_NAMES ARG...: the scenarios the script's arguments name (none: all), each one of
# SCENARIO_NAMES; want NAME: whether to run that one.
only=""
pick() {
  local names=" $1 " a
  shift
  only=" $* "
  for a in "$@"; do [[ "$names" = *" $a "* ]] || die "no scenario $a (one of:$names)"; done
}
want() { [ "$only" = "  " ] || [[ "$only" = *" $1 "* ]]; }

# ---- Builds -----------------------------------------------------------------------------------
# windows_build DIR TARGETS [-D...]: configures DIR when new or when options are given, with the
# preset MORVEX_WINDOWS_PRESET.
windows_build() {
  local dir="$1" targets="$2"
  shift 2
  if [ ! -f "$dir/build.ninja" ] || [ $# -gt 0 ]; then
    cmake --preset "${MORVEX_WINDOWS_PRESET:-windows}" -B "$dir" "$@" >>"$log" 2>&1 || return 1
  fi
  # shellcheck disable=SC2086
  cmake --build "$dir" --target $targets -j "${MORVEX_JOBS:-2}" >>"$log" 2>&1
}

# find_plcsim [BUILD_DIR [TARGET...]]: sets PLCSIM. Without BUILD_DIR, takes a simulator built
# already or builds one in build/native-release; with it, builds (or brings up to date) the one
# there, and the other native TARGETs.
find_plcsim() {
  local dir="${1:-}"
  if [ -n "${PLCSIM:-}" ] && [ $# -lt 2 ]; then
    [ -x "$PLCSIM" ]
    return
  fi
  if [ -z "$dir" ]; then
    for p in "$root/build/native/sim/plcsim" "$root/build/native-release/sim/plcsim"; do
      [ -x "$p" ] && PLCSIM="$p" && return 0
    done
    dir="$root/build/native-release"
  fi
  if [ ! -f "$dir/build.ninja" ]; then
    cmake --preset native-release -B "$dir" >>"$log" 2>&1 || return 1
  fi
  cmake --build "$dir" --target plcsim "${@:2}" -j "${MORVEX_JOBS:-2}" >>"$log" 2>&1 || return 1
  PLCSIM=${PLCSIM:-$dir/sim/plcsim}
}

# fact KEY MODEL [IMAGE_SIZE]: what the simulated PLC knows of a burn of MODEL with an image of
# IMAGE_SIZE bytes (default: the model's size limit): link (usb, com), limit, sent (the bytes the
# burn sends), block_size, blocks, erase_units, handover (see plcsim --describe).
fact() { local f; f=$("$PLCSIM" --describe "$2" ${3:+--image-size "$3"}) && sed -n "s/^$1=//p" <<<"$f"; }

# ---- Wine ---------------------------------------------------------------------------------------
# own_prefix COPY [reuse]: prepares the shared prefix MORVEX_WINEPREFIX once and exports WINEPREFIX
# as a fresh copy of it with no COM port links; with "reuse", a copy made before is kept (copying
# waits for the shared prefix to come to rest, which takes as long as whatever else runs in it).
own_prefix() {
  local base="${MORVEX_WINEPREFIX:-$HOME/.cache/morvex/wine}"
  export WINEPREFIX="$1"
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ "${2:-}" != reuse ] || [ ! -f "$WINEPREFIX/.morvex-ready" ]; then
    "$root/tools/wine-prefix" "$base" >/dev/null || return 1
    # A wineserver writes its registry when it ends: copy a prefix at rest, into a fresh place.
    WINEPREFIX="$base" wineserver -w
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    cp -a "$base" "$WINEPREFIX" || return 1
  fi
  wineserver -k >/dev/null 2>&1
  rm -f "$WINEPREFIX"/dosdevices/com*
}

# start_display: a virtual display of our own (Xvfb takes a free number); sets xvfb_pid and
# exports DISPLAY.
xvfb_pid=""
start_display() {
  rm -f "$art/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$art/display" >"$art/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$art/display" ] && DISPLAY=":$(head -n 1 "$art/display")" && export DISPLAY && return 0
    sleep 0.1
  done
  return 1
}

# start_wine: a wineserver that stays up between the programs, and the port devices that the
# port list finds. Its complaints when the far end of a terminal goes away are of no interest.
start_wine() {
  wineserver -p >/dev/null 2>&1
  wine reg import "$root/e2e/virtual-port.reg" >/dev/null 2>&1
}

# setup PREFIX_COPY BUILD_DIR [reuse] [nodisplay]: own_prefix, a virtual display (none with
# "nodisplay"), wine and the simulated USB device's driver from BUILD_DIR; everything started
# here ends with the script.
setup() {
  trap stop_all EXIT
  own_prefix "$1" "${3:-}" || die "cannot prepare the wine prefix"
  [ "${4:-}" = nodisplay ] || start_display || die "no virtual display (Xvfb)"
  start_wine || die "cannot register the port device"
  usb_install "$2" || die "cannot install the simulated USB device (see $log)"
}

pids=()  # every program started here in the background, for stop_all
app_pid=""
sim_pid=""
# stop_all: ends everything started here; meant for trap ... EXIT.
stop_all() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}

# through_emulator EXE: EXE is a 32-bit program and 32-bit programs run here through qemu's
# user-mode emulator (registered with binfmt_misc by tools/install-deps where the kernel runs none).
through_emulator() {
  grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null && file -b "$1" | grep -q '^PE32 '
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# drive LOG STEP...: the driver program ($driver) against the running window, its output in LOG.
drive() {
  local out="$1"
  shift
  wine "$driver" "$@" 2>&1 | tr -d '\r' >"$out"
}

# start_app BUILD_DIR|EXE: the program, once its window is there, put at the top left; sets
# app_pid, app_exe and app_win (its handle, for "drive LOG window $app_win STEP..."). Where the
# kernel runs 32-bit programs only through an emulator, the 32-bit program takes about a minute
# to start.
app_exe=""
app_win=""
start_app() {
  local exe="$1/ui/MorvexFirmwareUpdate.exe"
  [[ "$1" = *.exe ]] && exe="$1"
  wine "$exe" >/dev/null 2>&1 &
  app_pid=$!
  app_exe=$exe
  pids+=("$app_pid")
  drive "$art/start.log" find 300000 handle move 0 0 || return 1
  app_win=$(sed -n 's/^handle: //p' "$art/start.log")
}
# use_app BUILD_DIR|EXE: the window for the next burn. The one of start_app carries on when it is
# of the same program and still open, as an operator burns one PLC after another in one window;
# else it closes and the program starts anew. The windows of start_window stay.
use_app() {
  local exe="$1/ui/MorvexFirmwareUpdate.exe"
  [[ "$1" = *.exe ]] && exe="$1"
  if [ -n "$app_pid" ] && [ "$exe" = "$app_exe" ] && kill -0 "$app_pid" 2>/dev/null; then
    return 0
  fi
  stop_app
  start_app "$1"
}
# stop_app [PID [WINDOW]]: closes the window (that handle; default: start_app's), unless its
# program has ended already, and waits for the program (default: start_app's).
stop_app() {
  local pid="${1:-$app_pid}" window=(window "${2:-$app_win}")
  [ -n "$pid" ] || return 0
  [ "$pid" != "$app_pid" ] || { app_pid="" && app_exe="" && app_win=""; }
  if ! kill -0 "$pid" 2>/dev/null; then  # its window closed already
    wait "$pid" 2>/dev/null
    return 0
  fi
  drive "$art/close.log" "${window[@]}" close
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

# Several windows at once. start_window BUILD_DIR|EXE [PORT]: one more program beside those of
# $wins and start_app's, its window put clear of theirs (three above one another, then a second
# column that covers the first in part) and PORT picked in its port list; sets win (its handle,
# for "drive LOG window $win STEP..." and the driver's steps that take handles) and adds it and
# its program to wins and app_pids.
wins=()
app_pids=()
win_exes=()
start_window() {
  local exe="$1/ui/MorvexFirmwareUpdate.exe" find=(find 300000) known=("${wins[@]}") pid
  [[ "$1" = *.exe ]] && exe="$1"
  [ -n "$app_win" ] && known+=("$app_win")
  [ ${#known[@]} -gt 0 ] && find=(other 300000 "$(IFS=, && echo "${known[*]}")")
  wine "$exe" >/dev/null 2>&1 &
  pid=$!
  pids+=("$pid")
  app_pids+=("$pid")
  win_exes+=("$exe")
  drive "$art/start.log" "${find[@]}" handle move $((${#known[@]} / 3 * 480)) $((${#known[@]} % 3 * 250)) \
    ${2:+port "$2"} || return 1
  win=$(sed -n 's/^handle: //p' "$art/start.log")
  wins+=("$win")
}
# second_window BUILD_DIR|EXE [PORT]: a window beside start_app's, PORT picked: the first of
# start_window when it is of the same program and still open, else a new one; sets win.
second_window() {
  local exe="$1/ui/MorvexFirmwareUpdate.exe"
  [[ "$1" = *.exe ]] && exe="$1"
  if [ ${#wins[@]} -gt 0 ] && [ "${win_exes[0]}" = "$exe" ] && kill -0 "${app_pids[0]}" 2>/dev/null; then
    win=${wins[0]}
    [ -z "${2:-}" ] || drive "$art/port.log" window "$win" port "$2"
  else
    start_window "$@"
  fi
}
# stop_windows: closes the windows of start_window and waits for their programs.
stop_windows() {
  local i
  for i in "${!wins[@]}"; do stop_app "${app_pids[$i]}" "${wins[$i]}"; done
  wins=()
  app_pids=()
  win_exes=()
}

# ---- The simulated PLC ----------------------------------------------------------------------------
# start_sim NAME PLCSIM-OPTION...: the PLC behind the port $sim_port (default com5); report,
# flash and log in $art/NAME*. Sets sim_pid, sim_pty (its terminal) and, with a USB device
# plugged, fds_before (see released).
start_sim() {
  local name="$1" link="$WINEPREFIX/dosdevices/${sim_port:-com5}"
  shift
  rm -f "$art/$name.json" "$art/$name-flash.bin" "$link"
  "$PLCSIM" --link "$link" --report "$art/$name.json" --flash-out "$art/$name-flash.bin" \
    ${sim_image_length:+--image-length "$sim_image_length"} --quiet "$@" >"$art/$name-sim.log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 50); do
    sim_pty=$(readlink "$link") && break
    sleep 0.1
  done
  [ -n "$usb_plugged" ] && fds_before=$(terminal_fds)
  [ -n "$sim_pty" ]
}
# stop_sim [PID]: ends the simulated PLC (default: the last started); it writes its report.
stop_sim() {
  local pid="${1:-$sim_pid}"
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  [ "$pid" != "$sim_pid" ] || sim_pid=""
}
# sim_ended [PID]: gives the simulated PLC 5 s to end by itself (it does once the transfer is
# closed), then stops it.
sim_ended() {
  for _ in $(seq 50); do kill -0 "${1:-$sim_pid}" 2>/dev/null || break; sleep 0.1; done
  stop_sim "$@"
}

# play NAME BUILD_DIR PLCSIM-OPTION... -- COMMAND...: one scenario: COMMAND run against the
# simulated PLC NAME (start_sim), ended after it, and the window of BUILD_DIR's program (use_app).
play() {
  local name="$1" dir="$2" options=()
  shift 2
  while [ "$1" != -- ]; do options+=("$1") && shift; done
  start_sim "$name" "${options[@]}"
  use_app "$dir"
  "${@:2}"
  stop_sim
}

# report NAME FIELD: a top-level value of plcsim's report.
report() { grep -E "^  \"$2\": " "$art/$1.json" | sed -E 's/^  "[^"]+": "?([^",]*)"?,?$/\1/'; }
# sim_clean NAME: the simulated PLC took the whole transfer and saw no fault in it.
sim_clean() { [ "$(report "$1" result)" = complete ] && [ "$(report "$1" violation_count)" = 0 ]; }

# same_image NAME BUILD_DIR MODEL: the simulated flash holds what a burn of MODEL sends of the
# build's image, and plcsim saw no fault in what the tool sent.
same_image() {
  local image="$2/firmware/firmware.bin"
  sim_clean "$1" &&
    cmp -s "$art/$1-flash.bin" <(head -c "$(fact sent "$3" "$(stat -c %s "$image")")" "$image")
}

# ---- The simulated USB device (tools/wine-usb-device) ------------------------------------------
# usb_install BUILD_DIR: the device's driver from BUILD_DIR running in the prefix, no device yet.
usb_install() { "$root/tools/wine-usb-device" install "$1/sim/usbdev/plcusb.sys" >>"$log" 2>&1; }
# usb_plug NAME DEVICE...: the devices attached (DEVICE: SERIAL[:closed|:once][:COMn], see
# tools/wine-usb-device); the driver's log goes to $art/NAME-usb.log.
usb_plugged=""
usb_plug() {
  local name="$1"
  shift
  rm -f "$art/$name-usb.log"
  usb_plugged=$name
  "$root/tools/wine-usb-device" plug --log "$art/$name-usb.log" "$@" >>"$log" 2>&1
}
usb_unplug() { usb_plugged="" && "$root/tools/wine-usb-device" unplug >>"$log" 2>&1; }
# usb_events NAME WHAT: the times (ms since 1970) of the driver's WHAT lines (open, close,
# com-open, com-close), one a line.
usb_events() { awk -v w="$2" '$2 == w { print $1 }' "$art/$1-usb.log"; }
# usb_released NAME: every open of the device was closed (or ended with the device when the cable
# was pulled), and so was every COM port it opened.
usb_released() {
  local log="$art/$1-usb.log"
  [ "$(grep -c ' open ' "$log")" = "$(grep -cE ' (close|ended) ' "$log")" ] &&
    [ "$(grep -c ' com-open .*status=0x00000000' "$log")" = "$(grep -c ' com-close ' "$log")" ]
}
# released NAME: the device's opens and its COM port's all closed again, and no process holds more
# descriptors of the terminal than before the burn ($fds_before). The device's close comes a
# moment after the program's CloseHandle: it is given 3 s.
released() {
  for _ in $(seq 30); do
    usb_released "$1" && [ "$(terminal_fds)" = "$fds_before" ] && return 0
    sleep 0.1
  done
  return 1
}
# terminal_fds: how many descriptors of the last simulated PLC's terminal the processes hold (it
# may have ended meanwhile).
terminal_fds() { [ -n "${sim_pty:-}" ] && find /proc/[0-9]*/fd -lname "$sim_pty" 2>/dev/null | wc -l; }

to_png() { convert "$art/$1.bmp" "$art/$1.png" && rm -f "$art/$1.bmp"; }

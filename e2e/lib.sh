# shellcheck shell=bash disable=SC2154
# Pieces shared by the scripts that run the real program under wine against the simulated PLC
# (e2e/run-wine-tests, e2e/run-wine-faults, tools/burn-demo). Sourced, not run.
#
# The caller sets before sourcing: root (the source tree), art (where logs and pictures go) and
# log (the build log). It may set sim_image_length (the --image-length plcsim checks).

export PATH="$root/tools/winebin:$PATH"  # wine with the loader of the program's width

# windows_build DIR TARGETS [-D...]: configures DIR when new or when options are given, with the
# preset MORVEX_WINDOWS_PRESET (windows: the 32-bit program that ships; windows-x64 for the other).
windows_build() {
  local dir="$1" targets="$2"
  shift 2
  if [ ! -f "$dir/build.ninja" ] || [ $# -gt 0 ]; then
    cmake --preset "${MORVEX_WINDOWS_PRESET:-windows}" -B "$dir" "$@" >>"$log" 2>&1 || return 1
  fi
  # shellcheck disable=SC2086
  cmake --build "$dir" --target $targets -j "${MORVEX_JOBS:-2}" >>"$log" 2>&1
}

# find_plcsim [BUILD_DIR]: sets PLCSIM. Without BUILD_DIR, takes a simulator built already or
# builds one in build/native-release; with it, builds (or brings up to date) the one there.
find_plcsim() {
  if [ -n "${PLCSIM:-}" ]; then
    [ -x "$PLCSIM" ]
    return
  fi
  local dir="${1:-}"
  if [ -z "$dir" ]; then
    for p in "$root/build/native/sim/plcsim" "$root/build/native-release/sim/plcsim"; do
      [ -x "$p" ] && PLCSIM="$p" && return 0
    done
    dir="$root/build/native-release"
  fi
  if [ ! -f "$dir/build.ninja" ]; then
    cmake --preset native-release -B "$dir" >>"$log" 2>&1 || return 1
  fi
  cmake --build "$dir" --target plcsim -j "${MORVEX_JOBS:-2}" >>"$log" 2>&1 || return 1
  PLCSIM="$dir/sim/plcsim"
}

# own_prefix BASE COPY [reuse]: prepares the shared prefix BASE once and exports WINEPREFIX as a
# fresh copy of it with no COM5 link; with "reuse", a copy made before is kept (copying waits
# for BASE to come to rest, which takes as long as whatever else runs in it).
own_prefix() {
  local base="$1"
  export WINEPREFIX="$2"
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ "${3:-}" = reuse ] && [ -f "$WINEPREFIX/.morvex-ready" ]; then
    wineserver -k >/dev/null 2>&1
    rm -f "$WINEPREFIX/dosdevices/com5"
    return 0
  fi
  "$root/tools/wine-prefix" "$base" >/dev/null || return 1
  # A wineserver writes its registry when it ends: copy a prefix at rest, into a fresh place.
  WINEPREFIX="$base" wineserver -w
  wineserver -k >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
  cp -a "$base" "$WINEPREFIX" || return 1
  rm -f "$WINEPREFIX/dosdevices/com5"
}

# start_display: a virtual display of our own; sets xvfb_pid and exports DISPLAY.
xvfb_pid=""
start_display() {
  local n display=""
  for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n && break; fi
  done
  [ -n "$display" ] || return 1
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$art/xvfb.log" 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && return 0; sleep 0.1; done
  return 1
}

# start_wine: a wineserver that stays up between the programs, and the port device COM5 that the
# port list finds. Its complaints when the far end of a terminal goes away are of no interest.
start_wine() {
  wineserver -p >/dev/null 2>&1
  wine reg import "$root/e2e/virtual-port.reg" >/dev/null 2>&1
}

app_pid=""
sim_pid=""
# stop_all: ends everything started here; meant for trap ... EXIT.
stop_all() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  app_pid="" sim_pid="" xvfb_pid=""
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# drive LOG STEP...: the driver program against the running window, its output in LOG.
drive() {
  local out="$1"
  shift
  wine "$driver" "$@" 2>&1 | tr -d '\r' >"$out"
}

# start_app BUILD_DIR: the program, once its window is there. Where the kernel runs 32-bit
# programs only through an emulator, the 32-bit program takes about a minute to start.
start_app() {
  wine "$1/ui/MorvexFirmwareUpdate.exe" >/dev/null 2>&1 &
  app_pid=$!
  drive "$art/start.log" find 300000
}
stop_app() {
  [ -n "$app_pid" ] || return 0
  drive "$art/close.log" find 2000 close
  for _ in $(seq 50); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  kill "$app_pid" 2>/dev/null
  wait "$app_pid" 2>/dev/null
  app_pid=""
}

# start_sim NAME PLCSIM-OPTION...: the PLC behind COM5; report and flash in $art/NAME*.
start_sim() {
  local name="$1"
  shift
  rm -f "$art/$name.json" "$art/$name-flash.bin"
  "$PLCSIM" --link "$WINEPREFIX/dosdevices/com5" --report "$art/$name.json" \
    --flash-out "$art/$name-flash.bin" --image-length "$sim_image_length" --quiet "$@" \
    >"$art/$name-sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do
    sim_pty=$(readlink "$WINEPREFIX/dosdevices/com5") && return 0
    sleep 0.1
  done
  return 1
}
stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=""
}

# report NAME FIELD: a top-level value of plcsim's report.
report() { grep -E "^  \"$2\": " "$art/$1.json" | sed -E 's/^  "[^"]+": "?([^",]*)"?,?$/\1/'; }

# sent_bytes MODEL LENGTH: how much of an image of LENGTH bytes a burn of MODEL sends; the models
# that program sector by sector keep back the image's last 4,096 bytes.
sent_bytes() {
  case " MH700 MH500 KL3-KR3 KL3-PACKAGE VGT-Y MH400 MB3PV3 MH500-TO-MH700 " in
    *" $1 "*) echo $(($2 > 4096 ? $2 - 4096 : 0)) ;;
    *) echo "$2" ;;
  esac
}

# same_image NAME BUILD_DIR [BYTES]: the simulated flash holds the build's image (its first BYTES
# bytes: what the burn sends), and plcsim saw no fault in what the tool sent.
same_image() {
  local image="$2/firmware/firmware.bin"
  [ "$(report "$1" result)" = complete ] && [ "$(report "$1" violation_count)" = 0 ] &&
    cmp -s "$art/$1-flash.bin" <(head -c "${3:-$(stat -c %s "$image")}" "$image")
}

# ---- The simulated USB device (tools/wine-usb-device) ------------------------------------------
# usb_install BUILD_DIR: the device's driver from BUILD_DIR running in the prefix, no device yet.
usb_install() { "$root/tools/wine-usb-device" install "$1/sim/usbdev/plcusb.sys" >>"$log" 2>&1; }
# usb_plug NAME DEVICE...: the devices attached to COM5; the driver's log goes to $art/NAME-usb.log.
usb_plug() {
  local name="$1"
  shift
  rm -f "$art/$name-usb.log"
  "$root/tools/wine-usb-device" plug --log "$art/$name-usb.log" "$@" >>"$log" 2>&1
}
usb_unplug() { "$root/tools/wine-usb-device" unplug >>"$log" 2>&1; }
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
terminal_fds() {
  local n=0 fd
  [ -n "${sim_pty:-}" ] || return 1
  for fd in /proc/[0-9]*/fd/*; do
    [ "$(readlink "$fd" 2>/dev/null)" = "$sim_pty" ] && n=$((n + 1))
  done
  echo "$n"
}

to_png() { convert "$art/$1.bmp" "$art/$1.png" && rm -f "$art/$1.bmp"; }

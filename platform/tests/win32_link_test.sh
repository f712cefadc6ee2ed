#!/bin/bash
# Runs the Win32 link test under wine against plcsim: plcsim serves a pseudo-terminal that the
# wine prefix knows as a free COM port above COM9 (so it opens only through the device namespace),
# then the flash plcsim received is compared with the image.
# Usage: win32_link_test.sh TEST_EXE PLCSIM WINE_RUN FIRMWARE_BIN
set -uo pipefail
exe=$1 plcsim=$2 winerun=$3 firmware=$4
model=PN2     # a COM model that hands over at once
length=5000   # image bytes burned: 39 full blocks and one with fill

if [ ! -x "$plcsim" ]; then
  echo "plcsim not found at $plcsim: build the native preset first (or set MORVEX_PLCSIM)"
  exit 1
fi
prefix=${MORVEX_WINEPREFIX:-$HOME/.cache/morvex/wine}
"$(dirname "$winerun")/wine-prefix" "$prefix" >/dev/null
# The wine server takes the terminal as its controlling terminal and, when plcsim closes its end,
# dumps its objects on its standard error: start it here with that going nowhere (a server that
# is already running stays as it is).
WINEPREFIX="$prefix" WINEDEBUG=-all wineserver 2>/dev/null
work=$(mktemp -d)
port=""
for n in $(shuf -i 20-99); do
  # Claiming the name with a link of our own keeps concurrent tests apart.
  if ln -s /dev/null "$prefix/dosdevices/com$n" 2>/dev/null; then port=$n; break; fi
done
[ -n "$port" ] || { echo "no free COM port name in $prefix"; exit 1; }
comlink="$prefix/dosdevices/com$port"
cleanup() {
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -f "$comlink"
  rm -rf "$work"
}
trap cleanup EXIT

"$plcsim" --model "$model" --handover immediate --image-length "$length" --quiet \
  --report "$work/report.json" --flash-out "$work/flash.bin" --link "$comlink" \
  >"$work/stdout" 2>"$work/stderr" &
pid=$!
for _ in $(seq 100); do
  [ -s "$work/stdout" ] && break
  sleep 0.05
done

MORVEX_TEST_PORT="COM$port" MORVEX_TEST_MODEL="$model" MORVEX_TEST_LENGTH="$length" \
  "$winerun" "$exe"
rc=$?

# plcsim ends by itself once the transfer is closed, writing its report and the flash.
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
pid=""
if ! grep -q '"result": *"complete"' "$work/report.json"; then
  echo "plcsim did not see a complete burn:"; cat "$work/report.json" "$work/stderr"; rc=1
elif ! cmp -s <(head -c "$length" "$firmware") <(head -c "$length" "$work/flash.bin"); then
  echo "the flash differs from the image"; rc=1
else
  echo "plcsim: flash equals the first $length image bytes"
fi
exit $rc

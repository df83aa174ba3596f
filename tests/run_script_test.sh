#!/usr/bin/env bash
# scripts/run without a display, stopped by TERM, HUP and a terminal's Ctrl-C (INT to its process
# group): the window, the virtual screen and the simulated devices end with it, its temporary
# files go, and it exits quietly. A command line that korvane_gui refuses gets korvane_gui's usage.
#   run_script_test.sh <source dir> <korvane_gui> <korvane_sim>
set -euo pipefail
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
# A copy of the script in a tree whose build is done: the install and build steps do nothing.
mkdir -p "$root"/{scripts,bin,tmp,xdg,build/release/control_panel,build/release/tests}
cp "$1/scripts/run" "$root/scripts/"
printf '#!/bin/sh\n' | tee "$root/scripts/install-deps" >"$root/bin/cmake"
chmod +x "$root/scripts/install-deps" "$root/bin/cmake"
ln -s "$2" "$root/build/release/control_panel/korvane_gui"
ln -s "$3" "$root/build/release/tests/korvane_sim"
chmod 700 "$root/xdg"  # Qt's runtime directory, which would otherwise be made in TMPDIR
# A shell cannot take back an INT ignored by whoever started it (a background job): perl can.
run=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM PATH="$root/bin:$PATH" TMPDIR="$root/tmp"
  XDG_RUNTIME_DIR="$root/xdg" perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV' "$root/scripts/run")
set -m  # each run is a job in a process group of its own, as a terminal's shell starts it
fail() {  # after ending what the script under test left behind
  echo "$1"
  kill ${kids:-} 2>/dev/null || true
  exit 1
}
status=0
"${run[@]}" --bogus >"$root/out" 2>/dev/null || status=$?
[ "$status" = 255 ] && grep -q "Usage: korvane_gui" "$root/out" ||
  { echo "--bogus: $status"; exit 1; }
for sig in HUP INT TERM; do
  "${run[@]}" >/dev/null 2>"$root/err" &
  pid=$!  # also the process group
  until [ "$(ps -o comm= --ppid "$pid" | LC_ALL=C sort | xargs)" = "Xvfb korvane_gui korvane_sim" ]
  do
    kill -0 "$pid" 2>/dev/null || fail "$sig: ended early: $(cat "$root/err")"
    sleep 0.1
  done
  kids=$(ps -o pid= --ppid "$pid" | xargs)
  if [ "$sig" = INT ]; then kill -INT -- "-$pid"; else kill "-$sig" "$pid"; fi
  status=0
  wait "$pid" || status=$?
  left=$(ps -o pid=,comm= -p "${kids// /,}" || true)
  [ "$status" = $((128 + $(kill -l "$sig"))) ] && [ -z "$left" ] && [ -z "$(ls -A "$root/tmp")" ] &&
    ! grep -E "Terminated|Hangup|Interrupt|Killed|Aborted|line [0-9]+" "$root/err" ||
    fail "$sig: status $status, left: $left $(ls "$root/tmp") $(cat "$root/err")"
done

#!/usr/bin/env bash
# Keeps a picture of the idle launcher window from this run, for a person to
# look at: build/launcher-idle.png. Needs the display the run's Wine uses.
set -euo pipefail
build=$1
run="$build/tests/support/wine-run.sh"
driver="$build/tests/support/ui_driver.exe"
appdata="$build/testbed/scratch/screenshot/AppData"
rm -rf "$appdata" && mkdir -p "$appdata"
win() { printf 'Z:%s' "${1//\//\\}"; }

"$run" "$driver" launch "$(win "$build/TESSIK-Launcher-Windows-x64.exe")" "$(win "$appdata")"
trap '"$run" "$driver" close >/dev/null 2>&1 || true' EXIT
"$run" "$driver" dump
import -window root "$build/launcher-idle.png"
# A real picture of a window, not an empty screen: more than one colour.
colours=$(convert "$build/launcher-idle.png" -format '%k' info:)
[ "$colours" -gt 2 ] || { echo "the screenshot shows nothing ($colours colours)" >&2; exit 1; }
"$run" "$driver" close
trap - EXIT
echo "screenshot: $build/launcher-idle.png ($colours colours)"

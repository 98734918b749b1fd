#!/usr/bin/env bash
# The whole product on this machine: publish a game build with the release
# tool, serve it with nginx over HTTPS, let the launcher under Wine install and
# start it, publish an update and let it update, then open an invite link the
# way Windows does. One line per stage; screenshots under build/demo/.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
demo="$build/demo"
export WINEPREFIX="$demo/wineprefix"
export WINEDLLPATH="$build/tests/support/winelib"
source "$top/scripts/wine-prefix.sh"
launcher="$build/TESSIK-Launcher-Windows-x64.exe"
driver="$build/tests/support/ui_driver.exe"
publish="$build/publish/tessik-publish"

started=$(date +%s.%N)
failures=0
stage() { printf '[%6.1fs] %s\n' "$(echo "$(date +%s.%N) - $started" | bc)" "$*"; }
fail() { stage "FAILED: $*"; failures=$((failures + 1)); }
shot() { import -window root "$demo/$1.png" 2>/dev/null && stage "screenshot $demo/$1.png" || fail "screenshot $1"; }
win() { "$WINE" "$@" </dev/null 2>/dev/null; }

xvfb_pid=""
cleanup() {
  "$top/scripts/nginx-service.sh" stop "$demo/nginx" 2>/dev/null
  end_wineserver
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

rm -rf "$demo" && mkdir -p "$demo"/{certs,release,games}
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 120); do [ -e "/tmp/.X11-unix/X$n" ] || break; done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  sleep 1
  stage "display: Xvfb $DISPLAY (pid $xvfb_pid)"
else
  stage "display: $DISPLAY"
fi

if grep -q 'TaskbarProgressBuild = true' "$build/generated/build_config.h"; then
  stage "launcher built with TESSIK_TASKBAR_PROGRESS: downloads show on its taskbar button"
else
  stage "launcher built without TESSIK_TASKBAR_PROGRESS (make demo turns it on)"
fi
prefix_create
make_ca "$demo/certs" ca "TESSIK Demo CA"
make_certificate "$demo/certs" server ca
trust_ca "$build/tests/support/trust_ca.exe" "$demo/certs/ca.pem"
stage "Wine prefix $WINEPREFIX ready; demo CA trusted in its Root store"

port=$("$top/scripts/nginx-service.sh" start "$demo/nginx" "$demo/release" \
  "$demo/certs/server.pem" "$demo/certs/server.key") || { fail "nginx did not start"; exit 1; }
base="https://localhost:$port"
stage "nginx serving $demo/release at $base"
export TESSIK_UPDATE_MANIFEST="$base/release/windows-x86_64-manifest.json"
export TESSIK_LAUNCHER_UPDATE_MANIFEST="$base/release/windows-launcher-x86_64-manifest.json"

publish_game() { # version
  local tree="$demo/games/$1"
  mkdir -p "$tree/assets"
  cp "$build/demo-game/$1/tessik.exe" "$tree/tessik.exe"
  echo "TESSIK demo assets for $1" >"$tree/assets/readme.txt"
  bsdtar --format zip -cf "$demo/games/tessik-$1.zip" -C "$tree" tessik.exe assets
  "$publish" game "$demo/games/tessik-$1.zip" --version "$1" --base-url "$base" --out "$demo/release" \
    | sed 's/^/           /'
}

storage='C:\users\'"$(whoami)"'\AppData\Roaming\Tessik\launcher'
unix_storage="$WINEPREFIX/drive_c/users/$(whoami)/AppData/Roaming/Tessik/launcher"

play() { # version label
  local version=$1 label=$2
  win "$launcher" >"$demo/launcher-$label.log" 2>&1 &
  if ! win "$driver" wait-window TessikNativeLauncher 30 >/dev/null; then fail "$label: no launcher window"; return; fi
  shot "$label-launcher"
  win "$driver" click "CHECK FOR UPDATES && PLAY" || fail "$label: could not press the main button"
  if ! win "$driver" wait-window TessikDemoGame 60 >/dev/null; then fail "$label: the game did not start"; return; fi
  shot "$label-game"
  local record="$unix_storage/versions/$version/demo-record.txt"
  if [ "$(head -1 "$record" 2>/dev/null)" = "$version" ]; then
    stage "$label: launcher downloaded, verified and installed $version into $storage\\versions\\$version and started it"
  else
    fail "$label: the running game is not $version"
  fi
  grep -q "\"version\":\"$version\"" "$unix_storage/current-windows.json" \
    && stage "$label: current-windows.json records $version" || fail "$label: state file does not record $version"
  win "$driver" close-window TessikDemoGame || fail "$label: could not close the game"
}

publish_game 1.0.0
# The launcher is built for the studio's update host; the demo serves it from
# localhost and points it there by the override variables, hence --force.
"$publish" launcher "$launcher" --base-url "$base" --out "$demo/release" --force 2>&1 \
  | sed 's/^/           /'
stage "published game 1.0.0 and launcher $(grep -o '"version":"[^"]*"' "$demo/release/release/windows-launcher-x86_64-manifest.json")"
play 1.0.0 first-run

publish_game 1.0.1
stage "published game 1.0.1"
play 1.0.1 update

invite="tessik://join/demo-room-42"
# Windows shows the current user's classes through HKEY_CLASSES_ROOT; Wine
# does not merge them, so the launcher's four values are mirrored into the
# machine's classes for Wine's shell to find, unchanged.
mirror_value() { # subkey value-name (empty: the default value)
  local data
  if [ -n "$2" ]; then
    data=$("$WINE" reg query "HKCU\\Software\\Classes\\tessik$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' \
      | sed -n "s/^ *$2 *REG_SZ *//p")
    "$WINE" reg add "HKLM\\Software\\Classes\\tessik$1" /v "$2" /t REG_SZ /d "$data" /f </dev/null >/dev/null 2>&1
  else
    data=$("$WINE" reg query "HKCU\\Software\\Classes\\tessik$1" /ve </dev/null 2>/dev/null | tr -d '\r' \
      | sed -n 's/^ *(Default) *REG_SZ *//p')
    "$WINE" reg add "HKLM\\Software\\Classes\\tessik$1" /ve /t REG_SZ /d "$data" /f </dev/null >/dev/null 2>&1
  fi
  printf '%s' "$data"
}
mirror_value "" "" >/dev/null
mirror_value "" "URL Protocol" >/dev/null
mirror_value '\DefaultIcon' "" >/dev/null
handler=$(mirror_value '\shell\open\command' "")
stage "invite: the launcher registered tessik:// for the current user as: $handler"
"$WINE" start "$invite" </dev/null >/dev/null 2>&1 &
if win "$driver" wait-window TessikDemoGame 60 >/dev/null; then
  shot "invite-game"
  received=$(sed -n 2p "$unix_storage/versions/1.0.1/demo-record.txt")
  if [ "$received" = "$invite" ]; then
    stage "invite: 'wine start $invite' opened the registered launcher, which started 1.0.1 with the link"
  else
    fail "invite: the game received '$received'"
  fi
  win "$driver" close-window TessikDemoGame
else
  fail "invite: the game did not start from the link"
fi

if [ "$failures" -eq 0 ]; then
  stage "demo complete: every stage did what it printed"
  exit 0
fi
stage "demo FAILED in $failures stage(s)"
exit 1

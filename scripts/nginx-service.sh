#!/usr/bin/env bash
# Starts or stops a private nginx that serves a release folder over HTTPS.
#   nginx-service.sh start PREFIX RELEASE_ROOT CERT KEY   (prints the port)
#   nginx-service.sh stop PREFIX
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
case "$1" in
  start)
    mkdir -p "$2/tmp" "$3"
    prefix=$(realpath "$2") root=$(realpath "$3") cert=$(realpath "$4") key=$(realpath "$5")
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    sed -e "s|TESSIK_LISTEN|127.0.0.1:$port|" -e "s|TESSIK_RELEASE_ROOT|$root|" \
        -e "s|TESSIK_CERTIFICATE_KEY|$key|" -e "s|TESSIK_CERTIFICATE|$cert|" \
        "$here/deploy/nginx/tessik-updates.conf" >"$prefix/tessik-updates.conf"
    sed -e "s|@PREFIX@|$prefix|g" "$here/deploy/nginx/nginx-standalone.conf.in" >"$prefix/nginx.conf"
    setsid /usr/sbin/nginx -p "$prefix" -c "$prefix/nginx.conf" </dev/null >"$prefix/nginx.out" 2>&1 &
    echo $! >"$prefix/nginx.process"
    for _ in $(seq 100); do
      if python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$port),0.2)" 2>/dev/null; then
        echo "$port" >"$prefix/port"
        echo "$port"
        exit 0
      fi
      sleep 0.1
    done
    echo "nginx did not start:" >&2
    cat "$prefix/nginx.out" "$prefix/error.log" >&2 2>/dev/null || true
    exit 1
    ;;
  stop)
    prefix=$(realpath -m "$2")
    if [ -s "$prefix/nginx.process" ]; then
      pid=$(cat "$prefix/nginx.process")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
      rm -f "$prefix/nginx.process"
    fi
    ;;
  *) echo "usage: $0 start PREFIX ROOT CERT KEY | stop PREFIX" >&2; exit 2 ;;
esac

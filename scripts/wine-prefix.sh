# Shared by the test bed and the demo (source it): a private Wine prefix that
# runs the launcher, and the certificates of a private update service.
# Needs WINEPREFIX set; WINEDLLPATH must name the folder of tar.exe.so.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# quietly COMMAND...: runs it with its output kept aside; shows that output
# only when it fails, so a failing step says why.
quietly() {
  local log; log=$(mktemp)
  if "$@" </dev/null >"$log" 2>&1; then
    rm -f "$log"
  else
    local status=$?
    echo "failed ($status): $*" >&2
    cat "$log" >&2
    rm -f "$log"
    return "$status"
  fi
}

# Ends the prefix's wineserver and waits until it has gone: a server still
# shutting down would take the next run's first Wine process with it.
end_wineserver() {
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w 2>/dev/null || true
}

# A fresh prefix with the tar.exe stand-in and no links to the Linux home.
prefix_create() {
  end_wineserver
  rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
  # Started first and detached from our output, so every later Wine process
  # joins it and none of its helpers holds a caller's pipe open.
  setsid "$WINESERVER" -p </dev/null >/dev/null 2>&1 &
  quietly "$WINE" wineboot -i
  # Desktop, Documents, Downloads... link to the Linux home; real folders keep
  # everything that runs in the prefix inside it.
  find "$WINEPREFIX/drive_c/users" -type l | while read -r link; do
    rm "$link" && mkdir "$link"
  done
  # The name tar.exe resolves to the winelib stand-in through a builtin stub.
  local system32="$WINEPREFIX/drive_c/windows/system32"
  cp "$system32/start.exe" "$system32/tar.exe"
}

# make_ca DIR NAME SUBJECT
make_ca() {
  quietly openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1/$2.key" -out "$1/$2.pem" \
    -days 30 -subj "/CN=$3" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign"
}

# make_certificate DIR NAME CA-NAME [HOST]
make_certificate() {
  local dir=$1 host=${4:-localhost}
  quietly openssl req -newkey rsa:2048 -nodes -keyout "$dir/$2.key" -out "$dir/$2.csr" \
    -subj "/CN=$host"
  local names="DNS:$host"
  [ "$host" = localhost ] && names="DNS:localhost,IP:127.0.0.1"
  printf '%s\n' "subjectAltName=$names" "extendedKeyUsage=serverAuth" \
    "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
    >"$dir/$2.ext"
  quietly openssl x509 -req -in "$dir/$2.csr" -CA "$dir/$3.pem" -CAkey "$dir/$3.key" -CAcreateserial \
    -out "$dir/$2.pem" -days 30 -extfile "$dir/$2.ext"
}

# trust_ca TRUST_CA_EXE PEM: adds the CA to the prefix's CurrentUser Root store.
trust_ca() {
  quietly "$WINE" "$1" "$(windows_path "$2")"
}

#!/usr/bin/env bash
# The nginx fixture's release signed as the release tool signs it, for the
# signed-release tests (which serve them). Writes into BED/signed:
#   signed-game.json, signed-launcher.json       the release key's signatures (the game's
#                                                expires in 30 days)
#   signed-game-other-key.json                   another key's
#   history-1.0.0.json, history-1.1.0.json,      one release tree's manifests in turn: 1.0.0,
#   history-rollback-1.0.0.json                  1.1.0, then a rollback to 1.0.0 (each with a
#                                                higher sequence; 1.1.0's build joins nginx's)
#   signed-four-values.json                      the game manifest signed as before sequences
#   expired-game.json                            signed, with an expiry in the past
#   signed-escaped.json                          escapes, a digest in capitals, no executable
#   signed-extra-key.json                        the game manifest with a key no launcher
#                                                knows yet ("keep_builds"), so also signed
#                                                with "full-signature-2"
#   signed-launcher-update.json                  launcher 0.1.191 whose digest does not match
#   unsigned-game.json                           the game manifest as published
#   sign-release.sh sign|check BED SIGNER KEYS TOOL   (check: the tool's own verification)
# The two release manifests are made by the release tool itself (TOOL, with
# --signing-key, from the same inputs as the nginx release); the others, which
# no release engineer would publish, by the signer built from its signing code.
set -euo pipefail
command=$1 bed=$2 signer=$3 keys=$4 tool=${5:-}
game="$bed/release/release/windows-x86_64-manifest.json"
launcher="$bed/release/release/windows-launcher-x86_64-manifest.json"
release="$bed/signed"
mkdir -p "$release"
case "$command" in
  sign)
    cp "$game" "$release/unsigned-game.json"
    base="https://localhost:$(cat "$bed/nginx/port")"
    for key in release other; do
      rm -rf "$bed/signed-by-$key"
      "$tool" game "$bed/data/good.zip" --version 1.0.0 --base-url "$base" \
        --out "$bed/signed-by-$key" --signing-key "$keys/$key.key" --expires-in 30 >/dev/null
    done
    history="$bed/signed-history"
    live="$history/release/windows-x86_64-manifest.json"
    rm -rf "$history"
    for version in 1.0.0 1.1.0; do
      "$tool" game "$bed/data/good.zip" --version $version --base-url "$base" --out "$history" \
        --signing-key "$keys/release.key" >/dev/null
      cp "$live" "$release/history-$version.json"
    done
    "$tool" rollback "$history" --version 1.0.0 --signing-key "$keys/release.key" >/dev/null
    cp "$live" "$release/history-rollback-1.0.0.json"
    cp "$history"/builds/tessik-1.1.0-*.zip "$bed/release/builds/"
    # The test launcher is built for another host than nginx's, as at start-nginx.
    "$tool" launcher "$bed/data/launcher-0.1.190.exe" --base-url "$base" --force \
      --out "$bed/signed-by-release" --signing-key "$keys/release.key" >/dev/null 2>&1
    cp "$bed/signed-by-release/release/windows-x86_64-manifest.json" "$release/signed-game.json"
    cp "$bed/signed-by-other/release/windows-x86_64-manifest.json" \
      "$release/signed-game-other-key.json"
    cp "$bed/signed-by-release/release/windows-launcher-x86_64-manifest.json" \
      "$release/signed-launcher.json"
    # The tool's own view of what it signed.
    "$tool" status "$bed/signed-by-release" --public-key "$keys/release.pem" >/dev/null
    if "$tool" status "$bed/signed-by-other" --public-key "$keys/release.pem" >/dev/null; then
      echo "status verified another key's signature" >&2
      exit 1
    fi
    printf '%s\n' '{"version":"1.0.0-\"rc\"","url":"https:\/\/localhost\/builds\/é.zip",' \
      '"sha256":"0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"}' \
      >"$bed/escaped.json"
    "$signer" sign "$keys/release.key" "$bed/escaped.json" "$release/signed-escaped.json"
    "$signer" sign "$keys/release.key" "$game" "$release/signed-four-values.json"
    sed 's/}$/,"keep_builds":"3"}/' "$game" >"$bed/extra-key.json"
    "$signer" sign "$keys/release.key" "$bed/extra-key.json" "$release/signed-extra-key.json"
    sed 's/}$/,"sequence":"1","expires":"2020-01-01T00:00:00Z"}/' "$game" >"$bed/expired.json"
    "$signer" sign "$keys/release.key" "$bed/expired.json" "$release/expired-game.json"
    sha=$(sed 's/.*"sha256":"\([0-9a-f]*\)".*/\1/' "$launcher")
    sed -e 's/"0\.1\.190"/"0.1.191"/' -e "s/$sha/$(printf '0%.0s' $(seq 64))/" "$launcher" \
      >"$bed/launcher-update.json"
    "$signer" sign "$keys/release.key" "$bed/launcher-update.json" \
      "$release/signed-launcher-update.json"
    ;;
  check)
    # Verifies with its own key only, and not once a value has changed.
    sed 's/"1\.0\.0"/"1.0.1"/' "$release/signed-game.json" >"$bed/changed.json"
    sed 's/"sequence":"/&1/' "$release/signed-game.json" >"$bed/changed-sequence.json"
    sed 's/"keep_builds":"3"/"keep_builds":"4"/' "$release/signed-extra-key.json" \
      >"$bed/changed-extra-key.json"
    sed 's/,"full-signature-2":"[0-9a-f]*"//' "$release/signed-extra-key.json" \
      >"$bed/extra-key-first-signatures-only.json"
    while read -r want key manifest; do
      got=0
      "$signer" verify "$keys/$key" "$manifest" || got=$?
      [ "$got" = "$want" ] || { echo "verify $key $manifest: $got, not $want" >&2; exit 1; }
    done <<LIST
0 release.pem $release/signed-game.json
1 other.pem $release/signed-game.json
1 release.pem $release/signed-game-other-key.json
1 release.pem $bed/changed.json
1 release.pem $bed/changed-sequence.json
0 release.pem $release/history-rollback-1.0.0.json
0 release.pem $release/expired-game.json
0 release.pem $release/signed-extra-key.json
1 release.pem $bed/changed-extra-key.json
1 release.pem $bed/extra-key-first-signatures-only.json
1 release.pem $release/unsigned-game.json
LIST
    ;;
esac

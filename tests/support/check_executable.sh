#!/usr/bin/env bash
# Checks the built launcher as a release engineer would: a 64-bit GUI PE that
# needs only Windows' own DLLs and carries its icon group and version record.
set -euo pipefail
exe=$1
version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

dump=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -q 'file format pei-x86-64' <<<"$dump" || fail "not a PE32+ x86-64 image"
grep -Eq '^Subsystem\s+0+2\s' <<<"$dump" || fail "not the Windows GUI subsystem"

allowed='^(kernel32|user32|gdi32|shell32|advapi32|ole32|winhttp|bcrypt|crypt32|msvcrt|ntdll|api-ms-win-crt-[a-z0-9-]+)\.dll$'
dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
[ -n "$dlls" ] || fail "no imports found"
while read -r dll; do
  grep -Eq "$allowed" <<<"$dll" || fail "imports a DLL that Windows does not ship: $dll"
done <<<"$dlls"

/usr/bin/python3 "$(dirname "$0")/check_resources.py" "$exe" "$version"
echo "ok: $(echo $dlls | tr '\n' ' ')"

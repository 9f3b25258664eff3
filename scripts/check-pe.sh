#!/usr/bin/env bash
# Inspects a Windows program built here the way a release check would:
#   check-pe.sh <file.exe|file.dll> <i386|x86-64> [--manifest | --com-server]
# - the machine type is the one asked for;
# - it imports only DLLs that Windows itself ships from Windows 8 on (the
#   allow-list below), so no MinGW runtime (libgcc_s, libstdc++,
#   libwinpthread, libssp) has to travel with it and nothing is missing on the oldest
#   Windows the program supports (device services need Windows 8);
# - it keeps ASLR and DEP: DllCharacteristics has DYNAMIC_BASE and NX_COMPAT;
# - with --manifest: it carries an application manifest asking for the
#   invoker's level without UI access, and a version block;
# - with --com-server: it exports the four entries of an in-process COM
#   server under their plain names (no stdcall decoration on i386).
# Prints what it found; exits non-zero on the first rule broken.
set -euo pipefail

usage="usage: check-pe.sh <file> <i386|x86-64> [--manifest | --com-server]"
file="${1:?$usage}"
arch="${2:?$usage}"
option="${3:-}"

case "$arch" in
  i386)   tool=i686-w64-mingw32;   format=pei-i386 ;;
  x86-64) tool=x86_64-w64-mingw32; format=pei-x86-64 ;;
  *) echo "check-pe: unknown architecture $arch" >&2; exit 2 ;;
esac

# The oldest Windows the program supports: the Mobile Broadband device
# services (IMbnDeviceServicesManager) exist from Windows 8 on.
minimum="Windows 8"
# DLLs in system32 of every Windows from $minimum on, compared without regard
# to case. The API set api-ms-win-core-synch-l1-2-0 is new in Windows 8; the
# others are older. A DLL added here must be present on $minimum.
allowed=(
  kernel32.dll msvcrt.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll
  advapi32.dll user32.dll ws2_32.dll rpcrt4.dll bcrypt.dll
  api-ms-win-core-synch-l1-2-0.dll
)

fail() { echo "check-pe: $file: $*" >&2; exit 1; }

[ -f "$file" ] || fail "no such file"
dump="$("$tool-objdump" -p "$file")"

got_format="$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$dump" | head -n1)"
[ "$got_format" = "$format" ] || fail "file format is '$got_format', expected $format"
echo "check-pe: $file: $got_format"

imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")"
[ -n "$imports" ] || fail "no import table"
bad=0
while read -r dll; do
  lower="${dll,,}"
  ok=no
  for a in "${allowed[@]}"; do [ "$lower" = "$a" ] && ok=yes; done
  echo "check-pe:   imports $dll ($([ $ok = yes ] && echo "ships with $minimum and later" || echo "NOT a DLL of $minimum"))"
  [ $ok = yes ] || bad=1
done <<<"$imports"
[ $bad = 0 ] || fail "imports a DLL that $minimum does not ship"

for flag in DYNAMIC_BASE NX_COMPAT; do
  grep -qE "^[[:space:]]+$flag\$" <<<"$dump" || fail "no $flag in DllCharacteristics"
done
echo "check-pe:   DllCharacteristics: DYNAMIC_BASE (ASLR), NX_COMPAT (DEP)"

if [ "$option" = "--com-server" ]; then
  exports="$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump")"
  for entry in DllGetClassObject DllCanUnloadNow DllRegisterServer DllUnregisterServer; do
    grep -qE "\] $entry\$" <<<"$exports" || fail "does not export $entry"
  done
  echo "check-pe:   exports DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer"
fi

if [ "$option" = "--manifest" ]; then
  resources="$("$tool-windres" -J coff -O rc -i "$file" 2>&1)" || fail "no resources: $resources"
  manifest="$(awk '/^1 24 /,/^END/' <<<"$resources")"
  [ -n "$manifest" ] || fail "no application manifest (RT_MANIFEST 1)"
  grep -q 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""' <<<"$manifest" \
    || fail "manifest does not request asInvoker without UI access"
  echo "check-pe:   manifest: requestedExecutionLevel asInvoker, uiAccess false"
  version="$(grep -o 'VALUE "FileVersion", "[^"]*"' <<<"$resources" || true)"
  [ -n "$version" ] || fail "no version resource"
  echo "check-pe:   version resource: $version"
fi
echo "check-pe: $file: passed"

#!/usr/bin/env bash
# One end-to-end run of atcmd.exe under Wine, checked byte for byte.
#
#   run-atcmd.sh --wine <wine.sh> --prefix <prefix> --atcmd <atcmd.exe> --workdir <dir>
#                [--server <mbnsim.dll>] --class registered|unregistered|broken|not-a-server
#                [--ini <LOG_LV>] [--block-log-folder] [--check-log]
#                [--expect <bytes, printf %b escapes> | --expect-nothing] [--expect-status <n>]
#                (--arg <text> | --arg-escaped <printf %b escapes> | --arg-repeat <char> <count>
#                 | --no-arg)...
#
# Each --arg... adds one argument, in order.
# atcmd.exe is copied unchanged into <workdir> (its own folder, so a
# kvconfig.ini there belongs to this run only) and started there.
# --class puts the Mobile Broadband manager classes of the prefix in a state
# first: served by the simulated service's COM server (regsvr32), not
# registered at all, registered to a server DLL that does not exist, or to a
# DLL that is no COM server (kernel32.dll: no DllGetClassObject).
# --block-log-folder puts a plain file where the log folder would be created,
# so the folder cannot be made; the prefix's own folder is put back after.
# The run is bounded (60 s): a hang fails the test instead of stalling CI.
set -euo pipefail

wine='' prefix='' atcmd='' workdir='' server='' class='' ini='' block=no checklog=no
expect='' have_expect=no expect_status=0 args=() have_arg=no
while [ $# -gt 0 ]; do
  case "$1" in
    --wine) wine="$2"; shift 2 ;;
    --prefix) prefix="$2"; shift 2 ;;
    --atcmd) atcmd="$2"; shift 2 ;;
    --workdir) workdir="$2"; shift 2 ;;
    --server) server="$2"; shift 2 ;;
    --class) class="$2"; shift 2 ;;
    --ini) ini="$2"; shift 2 ;;
    --block-log-folder) block=yes; shift ;;
    --check-log) checklog=yes; shift ;;
    --expect) expect="$2"; have_expect=yes; shift 2 ;;
    --expect-nothing) expect=""; have_expect=yes; shift ;;
    --expect-status) expect_status="$2"; shift 2 ;;
    --arg) args+=("$2"); have_arg=yes; shift 2 ;;
    --arg-escaped) args+=("$(printf '%b' "$2")"); have_arg=yes; shift 2 ;;
    --arg-repeat) args+=("$(head -c "$3" /dev/zero | tr '\0' "$2")"); have_arg=yes; shift 3 ;;
    --no-arg) args=(); have_arg=yes; shift ;;
    *) echo "run-atcmd: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$wine" ] && [ -n "$prefix" ] && [ -n "$atcmd" ] && [ -n "$workdir" ] && [ -n "$class" ] && [ $have_arg = yes ] \
  || { echo "run-atcmd: missing option (see the header)" >&2; exit 2; }

wine="$(realpath "$wine")"; prefix="$(realpath -m "$prefix")"; atcmd="$(realpath "$atcmd")"
[ -z "$server" ] || server="$(realpath "$server")"

# Each Wine step is bounded and timed; the times go to standard error, so a
# slow step shows in the test's output.
wine_run() {
  local t0 t1 rc=0
  t0=$(date +%s%N)
  timeout -k 5 60 "$wine" run "$prefix" "$@" || rc=$?
  t1=$(date +%s%N)
  echo "run-atcmd: $(( (t1 - t0) / 1000000 )) ms: ${1##*[\\/]} ${2:-} ${3:-}" | cut -c1-120 >&2
  return $rc
}
winpath() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }

clsids=("{BDFEE05B-4418-11DD-90ED-001C257CCFF1}" "{2269DAA3-2A9F-4165-A501-CE00A6F7A75B}")
case "$class" in
  registered)
    [ -n "$server" ] || { echo "run-atcmd: --class registered needs --server" >&2; exit 2; }
    wine_run regsvr32 /s "$(winpath "$server")"
    ;;
  unregistered|broken|not-a-server)
    if [ -n "$server" ]; then wine_run regsvr32 /s /u "$(winpath "$server")" || true; fi
    for c in "${clsids[@]}"; do
      wine_run reg delete "HKLM\\Software\\Classes\\CLSID\\$c" /f >/dev/null || true
    done
    if [ "$class" = broken ] || [ "$class" = not-a-server ]; then
      dll='C:\missing\mbnsim.dll'
      [ "$class" = broken ] || dll='C:\windows\system32\kernel32.dll'
      for c in "${clsids[@]}"; do
        wine_run reg add "HKLM\\Software\\Classes\\CLSID\\$c\\InprocServer32" /ve /d "$dll" /f >/dev/null
        wine_run reg add "HKLM\\Software\\Classes\\CLSID\\$c\\InprocServer32" /v ThreadingModel /d Both /f >/dev/null
      done
    fi
    ;;
  *) echo "run-atcmd: --class registered|unregistered|broken|not-a-server" >&2; exit 2 ;;
esac

rm -rf "$workdir"; mkdir -p "$workdir"
cp "$atcmd" "$workdir/atcmd.exe"
[ -z "$ini" ] || printf '[BASE_CONFIG]\r\nLOG_LV=%s\r\n' "$ini" >"$workdir/kvconfig.ini"

programdata="$(realpath -m "$prefix")/drive_c/ProgramData"
folder="$programdata/Quendra Driver Package"
log="$folder/logs/KavoConnectMonitor.log"
restore() {
  if [ $block = yes ]; then
    rm -f "$folder"
    [ ! -e "$folder.saved-by-run-atcmd" ] || mv "$folder.saved-by-run-atcmd" "$folder"
  fi
}
trap restore EXIT
if [ $block = yes ]; then
  [ ! -e "$folder" ] || mv "$folder" "$folder.saved-by-run-atcmd"
  mkdir -p "$programdata"; : >"$folder"
fi
lines_before=0
[ ! -f "$log" ] || lines_before=$(wc -l <"$log")

set +e
# The arguments reach Windows in its ANSI code page: Wine reads them as UTF-8
# under this locale and gives the program code page 1252 bytes.
t0=$(date +%s%N)
(cd "$workdir" && LC_ALL=C.UTF-8 timeout -k 5 60 "$wine" run "$prefix" ./atcmd.exe "${args[@]}") \
  >"$workdir/stdout" 2>"$workdir/stderr"
status=$?
t1=$(date +%s%N)
set -e

fail=0
if [ $status -ne "$expect_status" ]; then
  echo "run-atcmd: exit status $status, expected $expect_status" >&2
  fail=1
fi
if [ $have_expect = yes ]; then
  printf '%b' "$expect" >"$workdir/expected"
  if ! cmp -s "$workdir/stdout" "$workdir/expected"; then
    echo "run-atcmd: standard output differs" >&2
    echo "  got:      $(od -An -c "$workdir/stdout" | head -c 600)" >&2
    echo "  expected: $(od -An -c "$workdir/expected")" >&2
    fail=1
  fi
fi
if [ $checklog = yes ]; then
  lines_after=0
  [ ! -f "$log" ] || lines_after=$(wc -l <"$log")
  if [ "$lines_after" -le "$lines_before" ]; then
    echo "run-atcmd: nothing was appended to $log" >&2
    fail=1
  fi
fi
if [ $block = yes ] && [ ! -f "$folder" ]; then
  echo "run-atcmd: the file blocking the log folder was replaced" >&2
  fail=1
fi
[ ! -s "$workdir/stderr" ] || { echo "run-atcmd: standard error:" >&2; head -c 2000 "$workdir/stderr" >&2; }
arglen=0; [ ${#args[@]} -eq 0 ] || arglen=${#args[0]}
echo "run-atcmd: atcmd.exe ($arglen byte argument) ran $(( (t1 - t0) / 1000000 )) ms, exit $status, $(wc -c <"$workdir/stdout") bytes out: $(od -An -c "$workdir/stdout" | head -c 200)"
exit $fail

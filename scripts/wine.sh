#!/usr/bin/env bash
# Runs Windows programs of the 64-bit build under Wine in a private prefix.
#   wine.sh init <prefix>             create the prefix (once; later calls return at once)
#   wine.sh start <prefix>            start the prefix's server (kept until stop) and Wine's own processes
#   wine.sh run <prefix> <exe> [args] run a program; exit status is the program's
#   wine.sh com <prefix> <n> <device> make <device> (e.g. a pty's slave) the prefix's COMn
#   wine.sh nocom <prefix> <n>        remove COMn from the prefix
#   wine.sh stop <prefix>             end the prefix's wineserver and anything it still runs
# The prefix never opens a window (no DISPLAY), never downloads Mono or Gecko
# (mscoree and mshtml disabled), and keeps Wine's debug channels quiet.
# Only the 64-bit loader is used: the host has no 32-bit Wine (the 32-bit
# build runs under scripts/wine32.sh), and Debian's `wine` wrapper insists on
# the 32-bit loader.
set -euo pipefail

cmd="${1:?usage: wine.sh init|start|run|com|nocom|stop <prefix> ...}"
prefix="${2:?usage: wine.sh $cmd <prefix> ...}"
shift 2

WINEPREFIX="$(realpath -m "$prefix")"
export WINEPREFIX
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader="$(command -v wine64 || true)"
[ -n "$loader" ] && [ -x "$loader" ] || { echo "wine.sh: no 64-bit Wine loader (install wine64)" >&2; exit 127; }
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server="$(command -v wineserver)"

# One wineboot per prefix: parallel first callers wait on the lock, and the
# marker is written only once the boot has finished. A prefix without the
# marker is the remains of a boot that was cut short (or a folder something
# else made first) and is booted afresh, since Wine would take it as made.
# Wine's processes must not inherit the lock, or they would hold it.
init() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.globaltools-ready" ]; then
    if [ -e "$WINEPREFIX" ]; then
      "$server" -k 9>&- 2>/dev/null || true
      "$server" -w 9>&- 2>/dev/null || true
      rm -rf "$WINEPREFIX"
    fi
    "$loader" wineboot --init </dev/null >/dev/null 2>&1 9>&- \
      || { echo "wine.sh: wineboot failed in $WINEPREFIX" >&2; exit 1; }
    "$server" -w 9>&-
    touch "$WINEPREFIX/.globaltools-ready"
  fi
  flock -u 9
  exec 9>&-
}

# Wine's server and its own processes (services.exe, winedevice.exe...) start
# with the first program that needs them and inherit its standard handles:
# started by a test, they would hold the test's output pipe open and the
# runner would wait for them until they end. So they are started here first,
# on /dev/null, by a program that does nothing (and `run` gives the program
# files, not the caller's pipe, for those started later on demand). `start` keeps the
# server until `stop`, so that no server can end and be restarted by a test
# in the middle of a run; `run` on its own (a test started by hand) keeps a
# server it starts for a minute after the last program.
up() {
  "$server" "$1" >/dev/null 2>&1 </dev/null || true
  "$loader" cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
}

case "$cmd" in
  init)
    init
    echo "wine.sh: prefix $WINEPREFIX ready ($("$loader" --version))"
    ;;
  run)
    [ -f "$WINEPREFIX/.globaltools-ready" ] || init
    up -p60
    # Wine starts some of its processes on demand from the program that first
    # needs them (explorer.exe /desktop, when a window is made), and they
    # inherit its standard handles. The program writes to files, copied out
    # once it has ended, so that no such process holds the caller's pipe.
    out="$(mktemp)"; err="$(mktemp)"
    trap 'rm -f "$out" "$err"' EXIT
    rc=0
    "$loader" "$@" >"$out" 2>"$err" || rc=$?
    cat "$out"; cat "$err" >&2
    # A program that dies keeps what it had buffered for the file: say so.
    [ $rc -eq 0 ] || echo "wine.sh: ${1##*/} ended with status $rc after $(wc -c <"$out") bytes of output" >&2
    exit $rc
    ;;
  start)
    [ -f "$WINEPREFIX/.globaltools-ready" ] || init
    "$server" -k 2>/dev/null || true
    "$server" -w 2>/dev/null || true
    up -p
    ;;
  com)
    [ -f "$WINEPREFIX/.globaltools-ready" ] || init
    n="${1:?usage: wine.sh com <prefix> <n> <device>}"; dev="${2:?usage: wine.sh com <prefix> <n> <device>}"
    ln -sfn "$dev" "$WINEPREFIX/dosdevices/com$n"
    ;;
  nocom)
    n="${1:?usage: wine.sh nocom <prefix> <n>}"
    rm -f "$WINEPREFIX/dosdevices/com$n"
    ;;
  stop)
    if [ -d "$WINEPREFIX" ]; then
      "$server" -k 2>/dev/null || true
      "$server" -w 2>/dev/null || true
    fi
    ;;
  *) echo "wine.sh: unknown command $cmd" >&2; exit 2 ;;
esac

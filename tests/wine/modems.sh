#!/usr/bin/env bash
# The pty modems that the Windows serial tests talk to under Wine.
#   modems.sh start <wine.sh> <ptymodem> <prefix> <state dir> <COM number>...
#   modems.sh stop <state dir>
# start boots the prefix if need be, runs one host ptymodem per COM number, each linked as the prefix's
# COMn (dosdevices/comn) and replaced by a fresh one after a hang-up, and
# returns once every link is in place (at most 10 s). stop ends exactly the
# modems that start recorded, and takes their links away.
set -euo pipefail

cmd="${1:?usage: modems.sh start|stop ...}"
case "$cmd" in
  start)
    wine="${2:?}"; ptymodem="${3:?}"; prefix="$(realpath -m "${4:?}")"; state="${5:?}"; shift 5
    "$0" stop "$state"
    # The links go into a booted prefix: a dosdevices folder made first would
    # pass for a prefix that Wine then never sets up.
    "$wine" init "$prefix" >/dev/null
    mkdir -p "$state"
    for n in "$@"; do
      link="$prefix/dosdevices/com$n"
      rm -f "$link"
      nohup "$ptymodem" --link "$link" --persist >"$state/com$n.log" 2>&1 </dev/null &
      echo "$! $link" >"$state/com$n.pid"
    done
    for n in "$@"; do
      link="$prefix/dosdevices/com$n"
      for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.1; done
      [ -L "$link" ] || { echo "modems.sh: COM$n did not appear: $(cat "$state/com$n.log")" >&2; "$0" stop "$state"; exit 1; }
      echo "modems.sh: COM$n -> $(readlink "$link")"
    done
    ;;
  stop)
    state="${2:?}"
    [ -d "$state" ] || exit 0
    for f in "$state"/com*.pid; do
      [ -e "$f" ] || continue
      read -r pid link <"$f"
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
      rm -f "$link" "$f"
    done
    ;;
  *) echo "modems.sh: unknown command $cmd" >&2; exit 2 ;;
esac

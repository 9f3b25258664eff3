#!/usr/bin/env bash
# The same AT command through the Linux atcmd (our POSIX layer and the
# simulated service linked in) and through atcmd.exe under Wine (mbnsim.dll
# registered), both at LOG_LV 2: the shared log lines each run appends must
# have the same layout and, past the process and thread IDs and the time,
# the same bytes, line endings included (in the order each thread wrote them
# being free).
#
#   compare-logs.sh --wine <wine.sh> --prefix <prefix> --server <mbnsim.dll>
#                   --atcmd <atcmd.exe> --native <atcmd> --workdir <dir> --arg <command>
set -euo pipefail

wine='' prefix='' server='' atcmd='' native='' workdir='' arg=''
while [ $# -gt 0 ]; do
  case "$1" in
    --wine) wine="$(realpath "$2")"; shift 2 ;;
    --prefix) prefix="$(realpath -m "$2")"; shift 2 ;;
    --server) server="$(realpath "$2")"; shift 2 ;;
    --atcmd) atcmd="$(realpath "$2")"; shift 2 ;;
    --native) native="$(realpath "$2")"; shift 2 ;;
    --workdir) workdir="$(realpath -m "$2")"; shift 2 ;;
    --arg) arg="$2"; shift 2 ;;
    *) echo "compare-logs: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$wine" ] && [ -n "$prefix" ] && [ -n "$server" ] && [ -n "$atcmd" ] && [ -n "$native" ] && [ -n "$workdir" ] \
  || { echo "compare-logs: missing option (see the header)" >&2; exit 2; }

log_tail="Quendra Driver Package/logs/KavoConnectMonitor.log"
ini() { printf '[BASE_CONFIG]\r\nLOG_LV=2\r\n' >"$1/kvconfig.ini"; }
# A line is "[pid] [tid] MM-DD hh:mm:ss:mmm : message" followed by CR LF; a
# message that held a line break of its own goes on over the next lines. Each
# message, with its line ending and any lines it goes on over, is one record;
# the records are compared as a sorted set, since the caller's lines and the
# completion thread's lines interleave in whatever order the threads ran.
# (Spelt without {n}: Debian's awk is mawk, which has no interval expressions.)
layout='^\[[0-9]+\] \[[0-9]+\] [0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]:[0-9][0-9][0-9] : '
messages() {
  if ! head -n1 "$1" | grep -aqE "$layout"; then
    echo "compare-logs: $1 does not start with a log line" >&2; return 1
  fi
  LAYOUT="$layout" awk '
    BEGIN { layout = ENVIRON["LAYOUT"] }
    $0 ~ layout { if (n++) printf "%s%c", rec, 0; rec = $0; sub(layout, "", rec); next }
    { rec = rec "\n" $0 }
    END { if (n) printf "%s%c", rec, 0 }' "$1" | sort -z
}

rm -rf "$workdir"; mkdir -p "$workdir/linux/programdata" "$workdir/wine"

# Linux: the POSIX layer finds the common application-data folder in PROGRAMDATA;
# the simulated modem is the one the Windows run talks to.
cp "$native" "$workdir/linux/atcmd"; ini "$workdir/linux"
(cd "$workdir/linux" && PROGRAMDATA="$workdir/linux/programdata" GLOBALTOOLS_MBN_PROVIDER=simulator timeout 60 ./atcmd "$arg") >"$workdir/linux/stdout"
cp "$workdir/linux/programdata/$log_tail" "$workdir/linux.log"

# Wine: what the run appends to the prefix's shared log.
timeout 60 "$wine" run "$prefix" regsvr32 /s "Z:$(tr / '\\' <<<"$server")"
cp "$atcmd" "$workdir/wine/atcmd.exe"; ini "$workdir/wine"
shared="$prefix/drive_c/ProgramData/$log_tail"
before=0; [ ! -f "$shared" ] || before=$(stat -c %s "$shared")
(cd "$workdir/wine" && timeout 60 "$wine" run "$prefix" ./atcmd.exe "$arg") >"$workdir/wine/stdout"
tail -c +$((before + 1)) "$shared" >"$workdir/wine.log"

messages "$workdir/linux.log" >"$workdir/linux.messages"
messages "$workdir/wine.log" >"$workdir/wine.messages"
echo "compare-logs: $(wc -l <"$workdir/linux.log") lines from Linux, $(wc -l <"$workdir/wine.log") from Wine"
if ! cmp -s "$workdir/linux/stdout" "$workdir/wine/stdout"; then
  echo "compare-logs: standard output differs" >&2; exit 1
fi
[ -s "$workdir/linux.messages" ] || { echo "compare-logs: the Linux run logged nothing" >&2; exit 1; }
if ! cmp -s "$workdir/linux.messages" "$workdir/wine.messages"; then
  echo "compare-logs: the log lines differ (Linux <, Wine >):" >&2
  diff <(tr '\0\r' '\n~' <"$workdir/linux.messages") <(tr '\0\r' '\n~' <"$workdir/wine.messages") >&2 || true
  exit 1
fi
echo "compare-logs: $(tr -cd '\0' <"$workdir/linux.messages" | wc -c) messages agree byte for byte past their IDs and times"

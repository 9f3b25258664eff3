#!/usr/bin/env bash
# Runs the 32-bit Windows build under i386 Wine: Debian's wine32 in an i386
# Debian 12 tree kept in a cache folder, so that no i386 package comes onto
# the host.
#   wine32.sh stage <cache> <command> [args]  set up (first time) and run <command> on the host
#                                             with i386 Wine available to it; exit status is the command's
#   wine32.sh run <prefix> <exe> [args]       inside a stage: run a program (as scripts/wine.sh run)
#
# <cache> keeps root/ (the i386 tree with wine32), prefix/ (a booted win32
# prefix), qemu-i386 and apt/ when needed; a second stage reuses them. A stage
# needs root (chroot, mounts). It runs in a private mount namespace (/proc,
# /dev, a fresh /tmp and the source tree, bound at its own path, inside the
# tree), starts one wineserver there and stops it at the end, pass or fail.
# Where the kernel cannot run i386 programs (or GLOBALTOOLS_WINE32_QEMU=1),
# they go through qemu-i386 from bookworm-backports (bookworm's qemu 7.2 is
# far too slow for Wine), fetched with a private apt configuration and
# registered in binfmt_misc for the stage only; the entry, and binfmt_misc if
# the stage mounted it, are removed at the end.
set -euo pipefail

usage="usage: wine32.sh stage <cache> <command> [args] | run <prefix> <exe> [args]"
cmd="${1:?$usage}"
place="${2:?$usage}"
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
tree="$(cd "$here/.." && pwd)"
self="$here/$(basename "$0")"

say() { echo "wine32: $*" >&2; }
die() { say "$*"; exit 1; }
now() { date +%s; }

# Wine inside the tree: win32 prefix, quiet, no window, no Mono or Gecko
# download, no desktop menu entries.
wine_env=(WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}"
  "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d"
  PATH=/usr/local/bin:/usr/bin:/bin LANG="${LANG:-C.UTF-8}")
in_tree() {  # in_tree <root> <prefix> <program> [args]: run in the tree, in the current folder
  local root="$1" prefix="$2"
  shift 2
  env -u DISPLAY -u WAYLAND_DISPLAY chroot "$root" /usr/bin/env -C "$PWD" \
    "${wine_env[@]}" WINEPREFIX="$prefix" "$@"
}

# --- run: one program, called by the tests from inside a stage ------------
if [ "$cmd" = run ]; then
  root="${GLOBALTOOLS_WINE32_ROOT:-}"
  [ -n "$root" ] && [ -x "$root/usr/lib/wine/wine" ] \
    || die "run only works inside 'wine32.sh stage' (no i386 tree set up)"
  prefix="$(realpath -m "$place")"
  [ -f "$prefix/.globaltools-ready" ] || die "prefix $prefix was not booted by the stage"
  [ -d "$root$PWD" ] || die "run from a folder inside $tree (only that tree is seen by Wine)"
  # As in scripts/wine.sh: the program writes to files copied out when it
  # ends, so that a Wine process started on demand never holds a caller's pipe.
  out="$(mktemp)"; err="$(mktemp)"
  trap 'rm -f "$out" "$err"' EXIT
  rc=0
  in_tree "$root" "$prefix" /usr/lib/wine/wine "$@" >"$out" 2>"$err" || rc=$?
  cat "$out"; cat "$err" >&2
  [ $rc -eq 0 ] || say "${1##*/} ended with status $rc after $(wc -c <"$out") bytes of output"
  exit $rc
fi
[ "$cmd" = stage ] || [ "$cmd" = _inside ] || { echo "$usage" >&2; exit 2; }
[ $# -gt 0 ] || { echo "$usage" >&2; exit 2; }

cache="$(realpath -m "$place")"
root="$cache/root"
prefix="$cache/prefix"
suite=bookworm

# --- inside the private mount namespace ------------------------------------
if [ "$cmd" = _inside ]; then
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --make-rslave "$root/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  mkdir -p "$root$tree"
  mount --bind "$tree" "$root$tree"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  server=(chroot "$root" /usr/lib/wine/wineserver32)
  stop_server() {
    WINEPREFIX="$prefix" timeout 30 "${server[@]}" -k 2>/dev/null || true
    WINEPREFIX="$prefix" timeout 30 "${server[@]}" -w 2>/dev/null || true
  }
  trap stop_server EXIT
  trap 'exit 143' INT TERM HUP

  if [ ! -x "$root/usr/lib/wine/wine" ]; then
    t=$(now)
    say "installing wine32 into the i386 tree"
    chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin \
      sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends wine32 >/dev/null && apt-get clean' \
      || die "stage failed: apt-get could not install wine32 in $root"
    say "wine32 installed in $(( $(now) - t )) s"
  fi
  if [ ! -f "$prefix/.globaltools-ready" ]; then
    t=$(now)
    rm -rf "$prefix"
    (cd / && in_tree "$root" "$prefix" timeout 300 /usr/lib/wine/wine wineboot --init) </dev/null >/dev/null 2>&1 \
      || die "stage failed: wineboot did not finish in $prefix"
    stop_server
    touch "$prefix/.globaltools-ready"
    say "prefix booted in $(( $(now) - t )) s"
  fi
  # One server for the whole stage, kept until the end; Wine's own processes
  # come up now, on /dev/null, not in the first test's pipe (see wine.sh).
  WINEPREFIX="$prefix" "${server[@]}" -p </dev/null >/dev/null 2>&1
  (cd / && in_tree "$root" "$prefix" /usr/lib/wine/wine cmd.exe /c exit) </dev/null >/dev/null 2>&1 || true
  say "$(in_tree "$root" "$prefix" /usr/lib/wine/wine --version) ready, running: $*"
  rc=0
  GLOBALTOOLS_WINE32_ROOT="$root" "$@" || rc=$?
  exit $rc
fi

# --- stage: on the host -----------------------------------------------------
[ "$(id -u)" = 0 ] || die "stage failed: needs root (chroot, mounts, binfmt_misc); run as root or leave this stage out"
for tool in debootstrap chroot unshare flock; do
  command -v "$tool" >/dev/null || die "stage failed: $tool is missing (scripts/setup.sh installs it)"
done
mkdir -p "$cache"
exec 8>"$cache/.lock"
flock 8

# The i386 tree comes from the Debian mirror the host's apt uses.
mirror="$(apt-get indextargets --format '$(REPO_URI) $(CODENAME)' 2>/dev/null \
  | awk -v s="$suite" '$2 == s { print $1; exit }')"
mirror="${mirror:-http://deb.debian.org/debian/}"

binfmt=/proc/sys/fs/binfmt_misc
entry=globaltools-qemu-i386
mounted_binfmt=no
registered=no
cleanup() {
  if [ $registered = yes ] && [ -e "$binfmt/$entry" ]; then echo -1 >"$binfmt/$entry" || true; fi
  if [ $mounted_binfmt = yes ]; then umount "$binfmt" || true; fi
}
trap cleanup EXIT
trap 'exit 143' INT TERM HUP

# qemu-i386 (static) from bookworm-backports' qemu-user, through apt's own
# options only: its own sources list, lists and archive folders under
# <cache>/apt; the host's sources and package state are not touched.
fetch_qemu() {
  local a="$cache/apt" deb
  rm -rf "$a"; mkdir -p "$a/lists/partial" "$a/archives/partial" "$a/parts" "$a/x"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite-backports main" >"$a/sources.list"
  local opts=(-q -o Dir::Etc::SourceList="$a/sources.list" -o Dir::Etc::SourceParts="$a/parts"
    -o Dir::Etc::PreferencesParts="$a/parts" -o Dir::State::Lists="$a/lists" -o Dir::Cache="$a"
    -o Dir::Cache::Archives="$a/archives" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
    -o APT::Architectures=amd64 -o Acquire::Languages=none -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" update >/dev/null || die "stage failed: cannot read $suite-backports from $mirror"
  (cd "$a" && apt-get "${opts[@]}" download qemu-user >/dev/null) \
    || die "stage failed: cannot download qemu-user from $suite-backports"
  deb="$(ls "$a"/qemu-user_*.deb)"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$a/x" ./usr/bin/qemu-i386
  mv "$a/x/usr/bin/qemu-i386" "$cache/qemu-i386"
  rm -rf "$a"
  say "fetched $("$cache/qemu-i386" --version | head -n1)"
}

# Registers qemu-i386 for i386 ELF programs, with F: the kernel opens the
# interpreter now, so it need not exist inside the tree.
register_qemu() {
  [ -x "$cache/qemu-i386" ] || fetch_qemu
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null \
      || die "stage failed: binfmt_misc is not available (mount -t binfmt_misc binfmt_misc $binfmt failed), so i386 programs cannot run"
    mounted_binfmt=yes
  fi
  [ ! -e "$binfmt/$entry" ] || echo -1 >"$binfmt/$entry"
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":$entry:M::$magic:$mask:$cache/qemu-i386:F" >"$binfmt/register" \
    || die "stage failed: binfmt_misc refused the qemu-i386 entry"
  registered=yes
}

# The tree: unpacked first; whether its programs run decides on qemu.
t0=$(now)
if [ ! -f "$root/.globaltools-ready" ]; then
  if [ ! -x "$root/debootstrap/debootstrap" ]; then
    rm -rf "$root"
    say "unpacking an i386 $suite tree from $mirror"
    debootstrap --arch=i386 --variant=minbase --foreign "$suite" "$root" "$mirror" >"$cache/debootstrap.log" 2>&1 \
      || die "stage failed: debootstrap could not unpack the tree (see $cache/debootstrap.log)"
  fi
fi
if [ "${GLOBALTOOLS_WINE32_QEMU:-0}" != 1 ] && chroot "$root" /bin/true 2>/dev/null; then
  say "the kernel runs i386 programs itself"
else
  register_qemu
  chroot "$root" /bin/true || die "stage failed: i386 programs do not run even through $cache/qemu-i386"
  say "i386 programs run through $cache/qemu-i386 (binfmt_misc entry $entry)"
fi
if [ ! -f "$root/.globaltools-ready" ]; then
  # A second stage cut short cannot be resumed: the next stage starts afresh.
  chroot "$root" /debootstrap/debootstrap --second-stage >>"$cache/debootstrap.log" 2>&1 \
    || { rm -rf "$root"; die "stage failed: debootstrap's second stage (see $cache/debootstrap.log)"; }
  # The mirror may be a snapshot whose Release files have expired.
  printf 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\n' >"$root/etc/apt/apt.conf.d/90globaltools"
  touch "$root/.globaltools-ready"
  say "i386 tree made in $(( $(now) - t0 )) s"
fi

# Every Wine step of the stage in one mount namespace, with one wineserver:
# a server started under other mounts would not find the files.
rc=0
unshare -m --propagation private "$self" _inside "$cache" "$@" 8>&- || rc=$?
say "stage took $(( $(now) - t0 )) s, exit status $rc"
exit $rc

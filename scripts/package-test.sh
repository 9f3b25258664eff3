#!/usr/bin/env bash
# Builds the release packages and checks them the way a user meets them:
# - the Debian packages (`package` preset): each holds exactly the paths
#   listed in packaging/debian/<package>.contents, lintian shows no error,
#   hardening-check passes on the packaged atcmd; then, installed with
#   apt-get, `atcmd ATI` answers, the same whatever the test hooks'
#   variables say, `man atcmd` renders, and tests/install
#   builds and runs against /usr, once through find_package(GlobalTools) and
#   once through pkg-config; the packages are removed again at the end,
#   whatever the outcome;
# - the Windows zip (from the windows-x86 build, which must exist): its file
#   list (all in the top folder), README.txt's CR LF line ends and SHA256SUMS.
# Needs root (apt-get). Run scripts/setup.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
work="$(mktemp -d)"
installed=()
cleanup() {
  if [ ${#installed[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${installed[@]}" >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package-test: $*" >&2; exit 1; }

# --- Debian packages ---
cmake --workflow --preset package
runtime_deb=(build/package/packages/atcmd_*.deb)
dev_deb=(build/package/packages/libglobaltools-dev_*.deb)
[ -f "${runtime_deb[0]}" ] && [ -f "${dev_deb[0]}" ] || fail "the two .deb files were not made"

# The paths each package holds (those `dpkg-deb -c` lists, without modes,
# sizes or dates), sorted, the multiarch folder written <multiarch>: a file
# added, lost or moved shows here. A change meant so is made in the .contents
# file too.
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
for deb in "${runtime_deb[0]}" "${dev_deb[0]}"; do
  name="$(dpkg-deb -f "$deb" Package)"
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed "s|^\./usr/lib/$multiarch/|./usr/lib/<multiarch>/|" \
    | LC_ALL=C sort >"$work/$name.contents"
  diff -u "packaging/debian/$name.contents" "$work/$name.contents" \
    || fail "$deb does not hold what packaging/debian/$name.contents lists"
done

# Errors fail; the remaining tags (if any) are printed for the record.
lintian --fail-on error --info --display-level ">=info" "${runtime_deb[0]}" "${dev_deb[0]}"

# Control-flow protection is not asked for: Debian 12's C start files carry
# no IBT/SHSTK marking, so no program linked on Debian 12 gets it.
dpkg-deb -x "${runtime_deb[0]}" "$work/runtime"
hardening-check --nocfprotection "$work/runtime/usr/bin/atcmd"
hardening-check --nocfprotection "$work/runtime/usr/lib/"*/globaltools/mbnmbim.so

export DEBIAN_FRONTEND=noninteractive
installed=(atcmd libglobaltools-dev)
apt-get install -y -qq "./${runtime_deb[0]}" "./${dev_deb[0]}" >/dev/null

[ "$(command -v atcmd)" = /usr/bin/atcmd ] || fail "atcmd is not /usr/bin/atcmd"
[ "$(atcmd --version)" = "atcmd $(dpkg-query -W -f='${Version}' atcmd)" ] || fail "atcmd --version"
answer="$(PROGRAMDATA="$work" GLOBALTOOLS_MBN_PROVIDER=simulator atcmd ATI)"
printf '%s\n' "$answer"
grep -q "^OK" <<<"$answer" || fail "atcmd ATI did not answer OK"
# With no modem and no choice, no modem answers: nothing is invented.
nomodem="$(PROGRAMDATA="$work" GLOBALTOOLS_SYSFS_ROOT="$work/no-sysfs" atcmd AT+CGSN 2>/dev/null)"
[ "$nomodem" = "open fail" ] || fail "atcmd AT+CGSN with no modem printed '$nomodem', not 'open fail'"

# What ships is built without the test hooks (GLOBALTOOLS_TEST_HOOKS off).
# Under these settings a hooked atcmd finds no modem, cannot make the
# interface manager, gets its completions too late or cannot initialise COM;
# the packaged one answers, on both output streams, exactly as without them.
plain="$(PROGRAMDATA="$work" GLOBALTOOLS_MBN_PROVIDER=simulator atcmd ATI 2>&1)"
grep -q "^OK" <<<"$plain" || fail "atcmd ATI did not answer OK from the simulated modem: $plain"
for setting in MBNSIM_NO_MODEM=1 MBNSIM_FAIL=CreateInterfaceManager MBNSIM_DELAY=5500 \
  GLOBALTOOLS_FAULT=1 GLOBALTOOLS_FAULT=CoInitializeEx:1; do
  answer="$(env "$setting" PROGRAMDATA="$work" GLOBALTOOLS_MBN_PROVIDER=simulator atcmd ATI 2>&1)"
  [ "$answer" = "$plain" ] || fail "the installed atcmd heeds $setting: $answer"
done

# The installed program finds the installed libmbim module: the native build's
# emulator stands in for the modem.
emulator=build/default/emulator/mbim-emulator
exec {emulator_input}> >(exec "$emulator" > "$work/emulator.txt")
for _ in $(seq 50); do [ -s "$work/emulator.txt" ] && break; sleep 0.1; done
device="$(head -n 1 "$work/emulator.txt")"
answer="$(PROGRAMDATA="$work" GLOBALTOOLS_MBN_PROVIDER="mbim:$device" GLOBALTOOLS_MBIM_PROXY=never atcmd AT)"
exec {emulator_input}>&-
[ "$answer" = $'\r\nOK\r' ] || fail "the installed atcmd did not answer over the installed MBIM module: $answer"

page=(atcmd)
if [ ! -e /usr/share/man/man1/atcmd.1.gz ] && grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  # A minimal image whose dpkg leaves out manual pages: the packaged page is read instead.
  echo "package-test: dpkg excludes manual pages here; reading the one in the package"
  page=(-l "$work/runtime/usr/share/man/man1/atcmd.1.gz")
fi
warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w "${page[@]}" 2>&1 >"$work/atcmd.txt")"
[ -z "$warnings" ] || fail "man atcmd: $warnings"
grep -q "send one AT command" "$work/atcmd.txt" || fail "man atcmd shows no NAME line"

# A user's program against the installed development package.
mkdir -p "$work/programdata"
cmake -S tests/install -B "$work/cmake-build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" >/dev/null
PROGRAMDATA="$work/programdata" "$work/cmake-build/use_tools" "$work/cmake.log"
# shellcheck disable=SC2046  # pkg-config's words are meant to split
c++ -std=c++17 -O2 tests/install/main.cpp -o "$work/use_tools_pc" $(pkg-config --cflags --libs globaltools)
PROGRAMDATA="$work/programdata" "$work/use_tools_pc" "$work/pkg-config.log"
echo "package-test: tests/install built and ran through find_package and pkg-config"

apt-get purge -y -qq "${installed[@]}" >/dev/null
installed=()
[ ! -e /usr/bin/atcmd ] && [ ! -e /usr/include/globaltools ] || fail "files remain after removal"
echo "package-test: Debian packages installed, used and removed"

# --- Windows zip ---
cpack --preset windows-x86
zips=(build/windows-x86/packages/atcmd-*-win32.zip)
[ -f "${zips[0]}" ] || fail "no Windows zip"
expected="$(printf '%s\n' README.txt SHA256SUMS atcmd.exe kvconfig.ini.sample | sort)"
actual="$(cmake -E tar tf "${zips[0]}" | sort)"
[ "$actual" = "$expected" ] || fail "zip holds:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"
zip="$(realpath "${zips[0]}")"
mkdir -p "$work/zip" && (cd "$work/zip" && cmake -E tar xf "$zip")
readme="$work/zip/README.txt"
[ "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")" ] || fail "README.txt lines do not all end in CR LF"
(cd "$work/zip" && sha256sum -c SHA256SUMS)
echo "package-test: ${zips[0]} holds what it should"

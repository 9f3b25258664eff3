#!/bin/sh
# Checks the platform API a POSIX program exports to in-process server
# modules: the list names exactly the C symbols the platform library defines;
# the program exports every one; none is also defined by a library the MBIM
# module brings (C library, C++ runtime, GLib, libmbim), which would shadow
# it; and the module needs nothing else from the program.
#   check_exports.sh LIST PLATFORM_LIBRARY PROGRAM MODULE
set -eu
list=$1 platform=$2 program=$3 module=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

grep -E '^[A-Za-z_]' "$list" | sort -u > "$work/listed"
nm -g --defined-only "$platform" | awk 'NF == 3 && $3 !~ /^(_Z|DW\.ref|__odr_asan|__asan|__tsan|__ubsan)/ { print $3 }' | sort -u > "$work/defined"
if ! cmp -s "$work/listed" "$work/defined"; then
  echo "the list and the platform's C names differ (< list, > platform):"; diff "$work/listed" "$work/defined" || true; fail=1
fi

nm -D --defined-only "$program" | awk '{ print $NF }' | sort -u > "$work/exported"
missing=$(comm -23 "$work/listed" "$work/exported")
[ -z "$missing" ] || { echo "not exported by $program: $missing"; fail=1; }

for library in $(ldd "$module" | awk '$3 ~ /^\// { print $3 }'); do
  nm -D --defined-only "$library" | awk '{ print $NF }' | sed 's/@.*//'
done | sort -u > "$work/libraries"
shadowed=$(comm -12 "$work/listed" "$work/libraries")
[ -z "$shadowed" ] || { echo "names also defined by the module's libraries: $shadowed"; fail=1; }

nm -D --undefined-only "$module" | awk '$1 == "U" { print $NF }' | grep -v '@' | grep -Ev '^(__asan|__ubsan|__tsan|__sanitizer|__lsan)' \
  | sort -u > "$work/needed"
for library in $(ldd "$module" | awk '$3 ~ /^\// { print $3 }'); do
  nm -D --defined-only "$library" | awk '{ print $NF }' | sed 's/@.*//'
done | sort -u > "$work/provided"
unmet=$(comm -23 "$work/needed" "$work/provided" | comm -23 - "$work/listed")
[ -z "$unmet" ] || { echo "the module needs names nobody provides: $unmet"; fail=1; }

[ $fail -eq 0 ] && echo "$(wc -l < "$work/listed") platform names exported, none shadowed"
exit $fail

#!/usr/bin/env bash
# The Debian package that `make package` made: its control data, its contents, its maintainer
# scripts (run against stand-ins for the systemd helpers, which record what they are asked),
# the package unpacked into a throw-away root, and lintian without errors.
# Usage: package_test.sh <build dir>
set -uo pipefail
build="$(realpath "$1")"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
deb="$build/quarnix_${version}_amd64.deb"
[ -f "$deb" ] || {
  echo "FAILED: $deb is missing"
  exit 1
}
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quarnix ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
for dependency in libc6 libqt6widgets6; do
  [[ "$(field Depends)" == *"$dependency"* ]] || fail "Depends lacks $dependency: $(field Depends)"
done

contents="$(dpkg-deb -c "$deb" | awk '{print $1 " " $6}')"
expect_file() {  # <mode> <path>
  grep -qxF -e "$1 ./$2" <<<"$contents" || fail "no $2 with mode $1 in: $contents"
}
expect_file -rwxr-xr-x usr/bin/quarnix
expect_file -rwxr-xr-x usr/bin/quarnix-client
expect_file -rw-r--r-- etc/default/quarnix
expect_file -rw-r--r-- etc/logrotate.d/quarnix
for doc in copyright changelog.gz README.md protocol.md simulator.md; do
  expect_file -rw-r--r-- "usr/share/doc/quarnix/$doc"
done
unit="$(grep -o '\./[a-z/]*/systemd/system/quarnix.service' <<<"$contents")"
[ -n "$unit" ] || fail "no systemd unit in: $contents"

mkdir "$work/control" "$work/root"
dpkg-deb -e "$deb" "$work/control"
dpkg-deb -x "$deb" "$work/root"
[ "$(cat "$work/control/conffiles")" = $'/etc/default/quarnix\n/etc/logrotate.d/quarnix' ] ||
  fail "conffiles: $(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] && sh -n "$work/control/$script" || fail "$script: missing or bad"
done
grep -qxF 'ExecStart=/usr/bin/quarnix /s $QUARNIX_OPTIONS' "$work/root/$unit" ||
  fail "the unit does not start /usr/bin/quarnix: $(grep ExecStart "$work/root/$unit")"
# The options file starts nothing until the administrator sets QUARNIX_OPTIONS.
if grep -q '^QUARNIX_OPTIONS=' "$work/root/etc/default/quarnix"; then
  fail "/etc/default/quarnix sets QUARNIX_OPTIONS"
fi
"$work/root/usr/bin/quarnix-client" --help >/dev/null || fail "quarnix-client from the package"

# postinst of a first installation: the unit enabled the Debian way, no start outside systemd,
# and the hint that the options file decides the start. An upgrade keeps a disabled unit.
mkdir "$work/bin"
for helper in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n[ "$1 $2" != "--quiet was-enabled" ] || exit "${WAS_ENABLED:-0}"\n' \
    "$helper" "$work/calls" >"$work/bin/$helper"
  chmod +x "$work/bin/$helper"
done
said="$(PATH="$work/bin:$PATH" "$work/control/postinst" configure 2>&1)" || fail "postinst failed"
[ "$(cat "$work/calls")" = $'deb-systemd-helper unmask quarnix.service\ndeb-systemd-helper --quiet was-enabled quarnix.service\ndeb-systemd-helper enable quarnix.service' ] ||
  fail "postinst configure asked: $(cat "$work/calls")"
if [ ! -d /run/systemd/system ] && [[ "$said" != *"QUARNIX_OPTIONS in /etc/default/quarnix"* ]]; then
  fail "postinst does not say how the service starts: $said"
fi
rm -f "$work/calls"
WAS_ENABLED=1 PATH="$work/bin:$PATH" "$work/control/postinst" configure "$version" >/dev/null
grep -q "update-state quarnix.service" "$work/calls" || fail "an upgrade re-enables: $(cat "$work/calls")"

lintian_out="$(lintian --fail-on error "$deb" 2>&1)" || fail "lintian reports errors: $lintian_out"
[ -n "$lintian_out" ] && printf 'lintian:\n%s\n' "$lintian_out"

[ $failures -eq 0 ] && echo "package $(basename "$deb"): all checks passed"
exit $((failures > 0))

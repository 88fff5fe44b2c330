#!/usr/bin/env bash
# The Debian package that `make package` made: its control data, its contents, the package
# unpacked, then installed, installed again, removed and purged with dpkg in a throw-away root,
# and lintian without errors.
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
for dependency in libc6 libmosquitto1; do
  [[ "$(field Depends)" == *"$dependency"* ]] || fail "Depends lacks $dependency: $(field Depends)"
done
# The service never opens a window: no Qt and no X11 library may be needed to install it.
for gui in libqt6 libx11 libxcb libgl; do
  [[ "$(field Depends)" != *"$gui"* ]] || fail "Depends needs a GUI library ($gui): $(field Depends)"
done
[[ "$(field Recommends)" == *logrotate* ]] || fail "Recommends lacks logrotate: $(field Recommends)"

contents="$(dpkg-deb -c "$deb" | awk '{print $1 " " $6}')"
expect_file() {  # <mode> <path>
  grep -qxF -e "$1 ./$2" <<<"$contents" || fail "no $2 with mode $1 in: $contents"
}
expect_file -rwxr-xr-x usr/bin/quarnixd
expect_file -rwxr-xr-x usr/bin/quarnix-client
expect_file -rwxr-xr-x usr/bin/quarnix-mqtt
expect_file -rw-r--r-- etc/default/quarnix
expect_file -rw-r--r-- etc/logrotate.d/quarnix
for doc in copyright changelog.gz README.md protocol.md simulator.md quarnix-mqtt.example.conf; do
  expect_file -rw-r--r-- "usr/share/doc/quarnix/$doc"
done
unit="$(grep -o '\./[a-z/]*/systemd/system/quarnix.service' <<<"$contents")"
[ -n "$unit" ] || fail "no systemd unit in: $contents"
bridge_unit="$(grep -o '\./[a-z/]*/systemd/system/quarnix-mqtt.service' <<<"$contents")"
[ -n "$bridge_unit" ] || fail "no systemd unit for the bridge in: $contents"
if grep -q 'usr/bin/quarnix$' <<<"$contents"; then fail "the window program is in the package"; fi

mkdir "$work/control" "$work/root"
dpkg-deb -e "$deb" "$work/control"
dpkg-deb -x "$deb" "$work/root"
[ "$(cat "$work/control/conffiles")" = $'/etc/default/quarnix\n/etc/logrotate.d/quarnix' ] ||
  fail "conffiles: $(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] && sh -n "$work/control/$script" || fail "$script: missing or bad"
done
grep -qxF 'ExecStart=/usr/bin/quarnixd $QUARNIX_OPTIONS' "$work/root/$unit" ||
  fail "the unit does not start /usr/bin/quarnixd: $(grep ExecStart "$work/root/$unit")"
# The programs the package runs need no GUI library (none is linked in).
for program in quarnixd quarnix-client quarnix-mqtt; do
  if objdump -p "$work/root/usr/bin/$program" | grep -E 'NEEDED +lib(Qt6|X11|xcb|GL)'; then
    fail "$program needs a GUI library"
  fi
done
"$work/root/usr/bin/quarnixd" /? | grep -q /connect || fail "quarnixd /? does not list /connect"
# The bridge's unit as systemd reads it, with its program where the package put it.
sed "s|/usr/bin/|$work/root/usr/bin/|" "$work/root/$bridge_unit" >"$work/quarnix-mqtt.service"
remarks="$(systemd-analyze verify --man=no "$work/quarnix-mqtt.service" 2>&1)" &&
  [ -z "$remarks" ] || fail "systemd-analyze verify of the bridge's unit: $remarks"
grep -qxF 'ConditionPathExists=/etc/quarnix-mqtt.conf' "$work/root/$bridge_unit" ||
  fail "the bridge's unit does not wait for /etc/quarnix-mqtt.conf"
# The options file starts nothing until the administrator sets QUARNIX_OPTIONS.
if grep -q '^QUARNIX_OPTIONS=' "$work/root/etc/default/quarnix"; then
  fail "/etc/default/quarnix sets QUARNIX_OPTIONS"
fi
"$work/root/usr/bin/quarnix-client" --help >/dev/null || fail "quarnix-client from the package"

# A real installation with dpkg into a throw-away root (its own package database; the
# maintainer scripts run outside it, against stand-ins for the systemd helpers that record what
# they are asked): the unit enabled the Debian way, the hint that the options file decides the
# start; an edited options file kept over a second installation and a removal, gone on purge.
root="$work/dpkg-root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$work/bin"
touch "$root/var/lib/dpkg/status"
for helper in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$helper" "$work/calls" >"$work/bin/$helper"
  chmod +x "$work/bin/$helper"
done
run_dpkg() {
  PATH="$work/bin:$PATH" dpkg --root="$root" --force-not-root --force-script-chrootless --force-depends \
    --force-confold --log=/dev/null "$@" >"$work/dpkg.out" 2>&1 || fail "dpkg $*: $(cat "$work/dpkg.out")"
}
run_dpkg -i "$deb"
[ "$(head -n 3 "$work/calls")" = $'deb-systemd-helper unmask quarnix.service\ndeb-systemd-helper --quiet was-enabled quarnix.service\ndeb-systemd-helper enable quarnix.service' ] ||
  fail "postinst configure asked: $(cat "$work/calls")"
grep -q "QUARNIX_OPTIONS in /etc/default/quarnix" "$work/dpkg.out" ||
  fail "postinst does not say how the service starts: $(cat "$work/dpkg.out")"
[ -x "$root/usr/bin/quarnixd" ] || fail "dpkg did not install /usr/bin/quarnixd"
edited='QUARNIX_OPTIONS="/lp 9000 /progId Quarnix.Simulator"'
echo "$edited" >>"$root/etc/default/quarnix"
run_dpkg -i "$deb"
grep -qxF "$edited" "$root/etc/default/quarnix" || fail "a second installation lost the edit"
if grep -q "QUARNIX_OPTIONS in /etc/default/quarnix" "$work/dpkg.out"; then
  fail "postinst asks for options that are set"
fi
run_dpkg --remove quarnix
[ ! -e "$root/usr/bin/quarnixd" ] && grep -qxF "$edited" "$root/etc/default/quarnix" ||
  fail "remove: the program stays or the options file is gone"
grep -q "deb-systemd-helper mask quarnix.service" "$work/calls" || fail "remove did not mask the unit"
run_dpkg --purge quarnix
[ ! -e "$root/etc/default/quarnix" ] || fail "purge kept /etc/default/quarnix"
grep -q "deb-systemd-helper purge quarnix.service" "$work/calls" || fail "purge did not purge the unit"

lintian_out="$(lintian --fail-on error "$deb" 2>&1)" || fail "lintian reports errors: $lintian_out"
[ -n "$lintian_out" ] && printf 'lintian:\n%s\n' "$lintian_out"

[ $failures -eq 0 ] && echo "package $(basename "$deb"): all checks passed"
exit $((failures > 0))

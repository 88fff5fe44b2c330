#!/usr/bin/env bash
# `cmake --install` into a temporary prefix: the programs, the systemd unit and the documents
# land where the README says, and systemd-analyze accepts the unit as installed (it checks that
# ExecStart names an executable program, so the unit is verified in the prefix it names).
# Usage: install_test.sh <build dir>
set -uo pipefail
build="$1"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/usr/local"

grep -q '^CMAKE_INSTALL_PREFIX:PATH=/usr/local$' "$build/CMakeCache.txt" ||
  fail "the default prefix is not /usr/local"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  fail "cmake --install failed: $(cat "$work/install.log")"

for program in quarnix quarnixd quarnix-client; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is missing"
done
unit="$prefix/lib/systemd/system/quarnix.service"
[ -f "$unit" ] || fail "lib/systemd/system/quarnix.service is missing"
for doc in README.md protocol.md simulator.md quarnix.default quarnix.logrotate; do
  [ -s "$prefix/share/doc/quarnix/$doc" ] || fail "share/doc/quarnix/$doc is missing or empty"
done

# The MQTT bridge and its example configuration.
[ -x "$prefix/bin/quarnix-mqtt" ] || fail "bin/quarnix-mqtt is missing"
[ -s "$prefix/share/doc/quarnix/quarnix-mqtt.example.conf" ] ||
  fail "share/doc/quarnix/quarnix-mqtt.example.conf is missing or empty"

expect_line() { grep -qxF "$1" "$unit" || fail "the unit lacks the line '$1'"; }
expect_line "ExecStart=$prefix/bin/quarnixd \$QUARNIX_OPTIONS"
expect_line "EnvironmentFile=-/etc/default/quarnix"
expect_line "ExecCondition=/bin/sh -c 'test -n \"\$\${QUARNIX_OPTIONS}\"'"
expect_line "DynamicUser=yes"
expect_line "StateDirectory=quarnix"
expect_line "WorkingDirectory=%S/quarnix"
expect_line "RuntimeDirectory=quarnix"
expect_line "Environment=XDG_RUNTIME_DIR=%t/quarnix"
expect_line "KillSignal=SIGTERM"
expect_line "Restart=on-failure"
expect_line "Type=notify"
expect_line "WatchdogSec=30"

# Any remark (an unknown key, a program that is not there) counts as a failure.
remarks="$(systemd-analyze verify --man=no "$unit" 2>&1)"
status=$?
[ $status -eq 0 ] && [ -z "$remarks" ] || fail "systemd-analyze verify ($status): $remarks"

# The MQTT bridge's unit: its configuration /etc/quarnix-mqtt.conf, skipped until it exists.
bridge_unit="$prefix/lib/systemd/system/quarnix-mqtt.service"
[ -f "$bridge_unit" ] || fail "lib/systemd/system/quarnix-mqtt.service is missing"
for line in "ConditionPathExists=/etc/quarnix-mqtt.conf" \
  "LoadCredential=quarnix-mqtt.conf:/etc/quarnix-mqtt.conf" \
  "ExecStart=$prefix/bin/quarnix-mqtt %d/quarnix-mqtt.conf" "DynamicUser=yes"; do
  grep -qxF "$line" "$bridge_unit" || fail "the bridge's unit lacks the line '$line'"
done
remarks="$(systemd-analyze verify --man=no "$bridge_unit" 2>&1)"
status=$?
[ $status -eq 0 ] && [ -z "$remarks" ] || fail "systemd-analyze verify of the bridge ($status): $remarks"

# The logrotate example renames the gateway's log file in the state directory.
rotate="$prefix/share/doc/quarnix/quarnix.logrotate"
grep -q '^/var/lib/quarnix/RV_Morvantel.log {' "$rotate" || fail "logrotate: wrong log file"
if grep -q '^[[:space:]]*copytruncate' "$rotate"; then fail "logrotate copies instead of renaming"; fi

[ $failures -eq 0 ] && echo "install layout and unit: all checks passed"
exit $((failures > 0))

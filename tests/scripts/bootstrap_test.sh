#!/usr/bin/env bash
# The bootstrap's profiles, by dry run: what building, running and testing on Linux take, and
# what only the Windows build, the fuzz targets, the benchmarks, the formatter and the package's
# check add.
# Usage: bootstrap_test.sh <path of scripts/bootstrap>
set -uo pipefail
bootstrap="$1"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
# The package list of one profile in a dry run's output.
profile_of() { sed -n "s/^bootstrap: profile $2: //p" <<<"$1"; }
has() { [[ " $1 " == *" $2 "* ]]; }

plain="$("$bootstrap" --dry-run)" || fail "the dry run without a profile failed"
base="$(profile_of "$plain" base)"
for p in g++ cmake ninja-build qt6-base-dev libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev \
  systemd libmosquitto-dev mosquitto mosquitto-clients python3-prometheus-client; do
  has "$base" "$p" || fail "the Linux set lacks $p: $base"
done
# Running on Linux takes no cross toolchain, no wine and no clang.
for word in wine mingw clang xvfb benchmark; do
  [[ "$plain" != *"$word"* ]] || fail "the Linux set installs $word: $plain"
done
grep -q '^bootstrap: missing here: ' <<<"$plain" || fail "no list of what is missing: $plain"

windows="$("$bootstrap" --dry-run windows)" || fail "the windows dry run failed"
[ -n "$(profile_of "$windows" base)" ] || fail "the windows profile drops the Linux set"
for p in g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev wine wine64 xvfb nsis; do
  has "$(profile_of "$windows" windows)" "$p" || fail "the windows profile lacks $p: $windows"
done

fuzz="$("$bootstrap" --dry-run fuzz)" || fail "the fuzz dry run failed"
for p in clang libclang-rt-14-dev; do
  has "$(profile_of "$fuzz" fuzz)" "$p" || fail "the fuzz profile lacks $p: $fuzz"
done
has "$(profile_of "$("$bootstrap" --dry-run format)" format)" clang-format ||
  fail "the format profile lacks clang-format"
has "$(profile_of "$("$bootstrap" --dry-run bench)" bench)" libbenchmark-dev ||
  fail "the bench profile lacks libbenchmark-dev"
has "$(profile_of "$("$bootstrap" --dry-run package)" package)" lintian ||
  fail "the package profile lacks lintian"

"$bootstrap" --dry-run no-such-profile >/dev/null 2>&1
[ $? -eq 2 ] || fail "an unknown profile is not refused with status 2"

[ $failures -eq 0 ] && echo "bootstrap profiles: all checks passed"
exit $((failures > 0))

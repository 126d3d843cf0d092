#!/usr/bin/env bash
# tools/test runs every suite even when one fails, counts them all, says what
# ran, what was only checked and what failed, and exits non-zero. It runs here
# in a copy of the repository whose set-up scripts, cmake and ctest are
# stand-ins: the first Windows suite fails one test, a build of the other kind
# of host fails, and the later suites must still run and be counted.
# Usage: test-tests.sh REPO
set -uo pipefail
repo=$1
source "$(dirname "$0")/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fake=$work/repo
mkdir -p "$fake/tools" "$work/bin"
cp "$repo/tools/test" "$fake/tools/test"
stand_in() {  # stand_in PATH BODY
  printf '#!/usr/bin/env bash\n%s\n' "$2" >"$1"
  chmod +x "$1"
}
stand_in "$fake/tools/install-prerequisites" ':'
stand_in "$fake/tools/wine-prefix" ':'
stand_in "$fake/tools/host-archs" 'echo "x86 ${X86:-run}"; echo "x64 run"'
# cmake: configuring always works; building fails where FAIL_BUILD names the preset.
stand_in "$work/bin/cmake" 'echo "cmake $*" >>"$LOG"; [ "$1 $2 $3" != "--build --preset ${FAIL_BUILD:-none}" ]'
# ctest prints its closing line the way the real one does: x86 fails one of 40.
stand_in "$work/bin/ctest" 'echo "ctest $*" >>"$LOG"
case $2 in
  windows-x86) echo "97% tests passed, 1 tests failed out of 40"; exit 8 ;;
  windows-x64) echo "100% tests passed, 0 tests failed out of 30" ;;
  linux-host) echo "100% tests passed, 0 tests failed out of 20" ;;
esac'
run_test() {  # run_test [VAR=VALUE...]: tools/test's output in $work/out, its status in $work/status
  : >"$work/log"
  env PATH="$work/bin:$PATH" LOG="$work/log" "$@" "$fake/tools/test" >"$work/out" 2>&1
  echo $? >"$work/status"
}
last_lines() { tail -n "$1" "$work/out"; }

run_test
check "a failing suite makes the run fail" test "$(cat "$work/status")" != 0
check "... after the later suites ran" eval 'grep -qx "ctest --preset windows-x64" "$work/log" &&
  grep -qx "ctest --preset linux-host" "$work/log"'
check "... and all three were counted and named" test "$(last_lines 4)" = "$(printf '%s\n' \
  "Ran the whole suite under Wine for: x86 x64" "Only built, checked natively: none" "FAILED: x86 suite" \
  "total: 89 passed, 1 failed")"
check "every build's programs go to the native checks" \
  grep -q "VANTOR_CHECK_BUILDS=x86=$fake/build/windows-x86/bin;x64=$fake/build/windows-x64/bin" "$work/log"

run_test X86="check this host cannot execute 32-bit code (status 126)" FAIL_BUILD=windows-x86
check "a build that fails is reported and the run goes on" test "$(last_lines 4)" = "$(printf '%s\n' \
  "Ran the whole suite under Wine for: x64" \
  "Only built, checked natively: x86 (this host cannot execute 32-bit code (status 126))" \
  "FAILED: x86 build" "total: 50 passed, 0 failed")"
check "... and the run fails" test "$(cat "$work/status")" != 0
check "an architecture only checked is built whole, never run" eval \
  'grep -qx "cmake --build --preset windows-x86" "$work/log" && ! grep -q "ctest --preset windows-x86" "$work/log"'
finish

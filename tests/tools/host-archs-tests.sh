#!/usr/bin/env bash
# tools/host-archs: every verdict, on any host (a stand-in for the 32-bit
# probe gives the status of the other kind of host); an emulator registered
# for i386 programs, in the usual form, never counts as running them; the real
# verdict agrees with what Wine's 32-bit loader does here; VANTOR_ARCHS limits
# what runs and refuses unknown names.
# Usage: host-archs-tests.sh REPO
set -uo pipefail
repo=$1
source "$(dirname "$0")/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
host_archs() { env -u VANTOR_ARCHS "$repo/tools/host-archs" "$@"; }

# Probe stand-ins: a host whose kernel runs 32-bit code (42), one that cannot
# (126, as the kernel answers), and one where the probe ends otherwise.
for status in 42 126 9; do printf '#!/bin/sh\nexit %s\n' "$status" >"$work/probe-$status"; chmod +x "$work/probe-$status"; done
mkdir "$work/no-emulator" "$work/emulator" "$work/disabled-emulator" "$work/other-emulator"
# The usual i386 registration, and an arm one (another machine field) beside it.
entry() {  # entry STATE MAGIC
  printf '%s\ninterpreter /usr/libexec/qemu-binfmt/emu\nflags: POCF\noffset 0\nmagic %s\nmask fffffffffffefefcfffffffffffffffffeffffff\n' "$1" "$2"
}
entry enabled 7f454c4601010100000000000000000002000300 >"$work/emulator/qemu-i386"
entry enabled 7f454c4601010100000000000000000002002800 >"$work/emulator/qemu-arm"
entry disabled 7f454c4601010100000000000000000002000300 >"$work/disabled-emulator/qemu-i386"
entry enabled 7f454c4601010100000000000000000002002800 >"$work/other-emulator/qemu-arm"
echo 1 >"$work/emulator/status"  # the registry's own files are not entries
x86_verdict() {  # x86_verdict PROBE_STATUS BINFMT_FOLDER
  VANTOR_X86_PROBE="$work/probe-$1" VANTOR_BINFMT_DIR="$work/$2" host_archs | sed -n 's/^x86 //p'
}
check "32-bit host, no emulator: x86 runs" test "$(x86_verdict 42 no-emulator)" = run
check "32-bit host, an emulator of another machine: x86 runs" test "$(x86_verdict 42 other-emulator)" = run
check "32-bit host, a disabled i386 emulator: x86 runs" test "$(x86_verdict 42 disabled-emulator)" = run
check "32-bit host, the usual i386 emulator registration: x86 only checked, the emulator named" \
  test "$(x86_verdict 42 emulator)" = "check 32-bit programs would run through the emulator registered as qemu-i386"
check "no 32-bit execution: x86 only checked, the reason given" test "$(x86_verdict 126 no-emulator)" = \
  "check this host cannot execute 32-bit code (a 32-bit probe program ended with status 126: Exec format error)"
check "no 32-bit execution with an emulator registered: still the kernel's reason" \
  test "$(x86_verdict 126 emulator)" = "$(x86_verdict 126 no-emulator)"
check "a probe ending otherwise: x86 only checked, with its status" \
  test "$(x86_verdict 9 no-emulator)" = "check this host cannot execute 32-bit code (a 32-bit probe program ended with status 9)"
check "x64 runs on an x86-64 host, whatever the 32-bit verdict" eval \
  '[ "$(VANTOR_X86_PROBE="$work/probe-126" host_archs | sed -n "s/^x64 //p")" = run ]'

# This host's own verdict, against Wine's 32-bit loader.
verdict=$(host_archs | sed -n 's/^x86 //p')
status=0
output=$(/usr/lib/wine/wine --version 2>/dev/null) || status=$?
case $verdict in
  run) check "x86 runs here: so does Wine's 32-bit loader" test "$status" = 0 -a -n "$output" ;;
  "check this host cannot execute"*) check "x86 refused here: Wine's 32-bit loader cannot execute either" test "$status" = 126 ;;
  "check 32-bit programs would run through the emulator"*) check "x86 refused here for a registered emulator" \
    eval 'grep -l "^magic 7f454c4601" /proc/sys/fs/binfmt_misc/* >/dev/null 2>&1' ;;
  *) check "a known x86 verdict (got '$verdict')" false ;;
esac

check "VANTOR_ARCHS=x64 leaves x86 to be checked only" eval \
  '[ "$(VANTOR_ARCHS=x64 VANTOR_X86_PROBE="$work/probe-42" "$repo/tools/host-archs")" = "$(printf "x86 check not asked for (VANTOR_ARCHS=x64)\nx64 run")" ]'
check "VANTOR_ARCHS=x86,x64 asks for both" eval \
  '[ "$(VANTOR_ARCHS=x86,x64 VANTOR_X86_PROBE="$work/probe-42" VANTOR_BINFMT_DIR="$work/no-emulator" "$repo/tools/host-archs")" = "$(printf "x86 run\nx64 run")" ]'
check "unknown architecture refused with exit 2" eval 'VANTOR_ARCHS=arm64 "$repo/tools/host-archs" >/dev/null 2>&1; [ $? -eq 2 ]'
finish

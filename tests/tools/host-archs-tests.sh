#!/usr/bin/env bash
# tools/host-archs: its verdict on 32-bit code agrees with what a real i386
# program (Wine's 32-bit loader) does on this host; an emulator registered for
# i386 programs never counts as running them; VANTOR_ARCHS limits what runs
# and refuses unknown names.
# Usage: host-archs-tests.sh REPO
set -uo pipefail
repo=$1
source "$(dirname "$0")/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
host_archs() { env -u VANTOR_ARCHS "$repo/tools/host-archs" "$@"; }

verdict=$(host_archs | sed -n 's/^x86 //p')
status=0
output=$(/usr/lib/wine/wine --version 2>/dev/null) || status=$?
case $verdict in
  run) check "x86 runs: so does Wine's 32-bit loader" test "$status:$output" = "0:$output" -a -n "$output" ;;
  "check this host cannot execute"*) check "x86 refused: Wine's 32-bit loader cannot execute either" test "$status" = 126 ;;
  "check 32-bit programs would run through the emulator"*) check "x86 refused for an emulator that is registered" \
    eval 'grep -l "^magic 7f454c4601" /proc/sys/fs/binfmt_misc/* >/dev/null 2>&1' ;;
  *) check "a known x86 verdict (got '$verdict')" false ;;
esac
check "x64 runs on an x86-64 host" host_archs --runs x64

# An enabled emulator entry for i386 programs, as the usual registration makes it.
mkdir "$work/binfmt"
printf 'enabled\ninterpreter /usr/libexec/qemu-binfmt/i386-binfmt-P\nflags: POCF\noffset 0\nmagic 7f454c4601010100000000000000000002000300\nmask fffffffffffefefcfffffffffffffffffeffffff\n' \
  >"$work/binfmt/qemu-i386"
check "an emulator for i386 never counts as running x86" eval '! VANTOR_BINFMT_DIR="$work/binfmt" host_archs --runs x86'
check "... and the reason names it or the missing 32-bit execution" eval \
  'VANTOR_BINFMT_DIR="$work/binfmt" host_archs | grep -Eq "^x86 check (.*emulator registered as qemu-i386|this host cannot execute)"'

check "VANTOR_ARCHS=x64 leaves x86 to be checked only" eval \
  '[ "$(VANTOR_ARCHS=x64 "$repo/tools/host-archs")" = "$(printf "x86 check not asked for (VANTOR_ARCHS=x64)\nx64 run")" ]'
check "VANTOR_ARCHS=x64 keeps x86 from running" eval '! VANTOR_ARCHS=x64 "$repo/tools/host-archs" --runs x86'
check "unknown architecture refused" eval 'VANTOR_ARCHS=arm64 "$repo/tools/host-archs" >/dev/null 2>&1; [ $? -eq 2 ]'
finish

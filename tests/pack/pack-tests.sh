#!/usr/bin/env bash
# tools/pack: refuses bad input without writing anything, and wraps an
# installer this project did not build (Wine's own 32-bit cmd.exe) into a
# launcher that runs it. Usage: pack-tests.sh REPO BIN_DIR
set -uo pipefail
repo=$1 bin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0 passes=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAILED: $name"; failures=$((failures + 1)); fi
}

cmd=/usr/lib/i386-linux-gnu/wine/i386-windows/cmd.exe
printf '"setup.exe" 0 00000000000000000000000000000000\n' > "$work/scf.dat"
: > "$work/empty"
printf 'plain text' > "$work/text.exe"

refuses() {  # refuses ARGS...: exit 2, one "pack:" line, no output file
  local err
  err=$("$repo/tools/pack" "$@" --output "$work/out.exe" 2>&1 >/dev/null)
  [ $? -eq 2 ] && [[ $err == pack:* ]] && [ ! -e "$work/out.exe" ] || { echo "  $err"; return 1; }
}
check "missing installer" refuses --installer "$work/none.exe" --manifest "$work/scf.dat"
check "empty installer" refuses --installer "$work/empty" --manifest "$work/scf.dat"
check "installer without MZ" refuses --installer "$work/text.exe" --manifest "$work/scf.dat"
check "missing manifest" refuses --installer "$cmd" --manifest "$work/none.dat"
check "empty manifest" refuses --installer "$cmd" --manifest "$work/empty"

"$repo/tools/pack" --installer "$cmd" --manifest "$work/scf.dat" --output "$work/CmdSetup.exe" >/dev/null
check "pack succeeds" test -s "$work/CmdSetup.exe"
# The installer gets the launcher's command line: cmd runs "/c exit 42". The
# launcher is named by its Windows path, so that no "/c" occurs before that.
launcher="Z:${work//\//\\}\\CmdSetup.exe"
report=$("$repo/tools/wine-run" "$bin/run-report.exe" "$launcher" /c exit 42 2>&1)
check "packed launcher runs the installer" grep -q '^exit code: 42 ' <<<"$report"
echo "$report" | sed 's/^/  /'

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]

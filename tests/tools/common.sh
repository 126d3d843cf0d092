# Shared by the tool tests: pass/fail counting and the closing line.
failures=0 passes=0
check() {  # check NAME COMMAND...: the command must succeed
  local name=$1; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAILED: $name"; failures=$((failures + 1)); fi
}
finish() {
  echo "$passes passed, $failures failed"
  [ "$failures" -eq 0 ]
}
wait_until() {  # wait_until SECONDS COMMAND...: polls COMMAND until it succeeds; fails after SECONDS
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $deadline ] || return 1; sleep 0.01; done
}
# A Linux path as Wine names it; the Windows packer of BIN_DIR ($bin) under
# Wine, with Linux paths turned into Windows ones.
windows_path() { echo "Z:${1//\//\\}"; }
winpack() {  # the Windows packer under Wine, with Linux paths turned into Windows ones
  local args=() a
  for a in "$@"; do [[ $a == /* ]] && args+=("$(windows_path "$a")") || args+=("$a"); done
  "$repo/tools/wine-run" "$bin/vantor-pack.exe" "${args[@]}"
}

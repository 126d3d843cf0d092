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

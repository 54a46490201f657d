# The checks of the test scripts: `check NAME EXPECTED ACTUAL` counts a
# passed or failed check and shows a failure. Sourced, not run.
passed=0 failed=0
check() {
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

#!/bin/sh
# man/check-pages.sh MAN PAGE...: formats each manual page as man(1) does with
# --warnings and fails if any of them draws a warning (or does not format).
# Run by ctest (the ManPages test) when man-db is installed.
man=$1
shift
status=0
for page in "$@"; do
  if ! warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 "$man" --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null); then
    echo "$page: man failed"
    status=1
  fi
  if [ -n "$warnings" ]; then
    printf '%s:\n%s\n' "$page" "$warnings"
    status=1
  fi
done
exit $status

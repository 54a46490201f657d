#!/bin/sh
# Runs the command given as a normal user: as nobody when started by the
# superuser (as CI is), whom no file permission stops; as it is otherwise.
if [ "$(id -u)" = 0 ]; then
  exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
fi
exec "$@"

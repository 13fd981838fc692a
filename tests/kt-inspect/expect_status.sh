#!/bin/sh
# expect_status.sh STATUS COMMAND [ARGS...]: runs the command and fails unless it exits with
# STATUS; for status 2 it also requires the one-line usage message on stderr.
want=$1
shift
err=$("$@" 2>&1 >/dev/null)
got=$?
if [ "$got" -ne "$want" ]; then
  echo "expected exit status $want, got $got: $*" >&2
  exit 1
fi
if [ "$want" -eq 2 ] && [ -z "$err" ]; then
  echo "bad usage gave no message on stderr: $*" >&2
  exit 1
fi
exit 0

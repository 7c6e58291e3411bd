#!/bin/sh
# expect_one_error.sh WORD COMPILER ARGS...
# The compilation must fail with exactly one error, and that error must
# name WORD (the macro the program has to define).
set -u
word=$1; shift
out=$("$@" 2>&1) && { echo "compiled, but should have stopped: $*"; exit 1; }
errors=$(printf '%s\n' "$out" | grep -c 'error:')
printf '%s\n' "$out"
[ "$errors" -eq 1 ] || { echo "$errors errors, want exactly one"; exit 1; }
printf '%s\n' "$out" | grep 'error:' | grep -q "$word" || { echo "the error does not name $word"; exit 1; }
echo "one error naming $word"

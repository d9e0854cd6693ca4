#!/usr/bin/env bash
# libkavex_c exports exactly the functions kavex.h declares: none missing, nothing else (not
# even the standard library's), and it calls no output function (a build with the invariant
# checks compiled in, third argument "dchecks", may print the one report of a broken check).
#
#   c_exported_symbols_test.sh libkavex_c.so.1 include/kavex/kavex.h [dchecks]
set -euo pipefail
library=$1
header=$2
checks=${3:-}

declared=$(grep '^KAVEX_C_API' "$header" | grep -oE '\bkavex_[a-z0-9_]+\(' | tr -d '(' | sort -u)
exported=$(nm -D --defined-only "$library" | awk '{ print $NF }' | sort -u)
if [ -z "$declared" ] || [ "$declared" != "$exported" ]; then
  echo "the exports differ from the declarations of $header:"
  diff <(echo "$declared") <(echo "$exported") || true
  exit 1
fi

allowed='^$'
[ "$checks" = dchecks ] && allowed='\bfprintf\b'
logging=$(nm -D --undefined-only "$library" |
          grep -E '\b(printf|puts|fputs|fprintf|vprintf|vfprintf|perror|syslog|putchar)\b|_ZSt4cout|_ZSt4cerr|_ZSt4clog' |
          grep -v -E "$allowed" || true)
if [ -n "$logging" ]; then
  echo "the library calls output functions:"; echo "$logging"; exit 1
fi
echo "exports of $(basename "$library"): $(tr '\n' ' ' <<<"$exported")"

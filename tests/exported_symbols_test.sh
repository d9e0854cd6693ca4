#!/usr/bin/env bash
# The shared library exports only the members of Normalization (besides weak standard
# library instantiations, which are not ours) and logs nothing. A build with the invariant
# checks compiled in (second argument "dchecks") may print the one report of a broken check.
set -euo pipefail
library=$1
checks=${2:-}

ours=$(nm -D --defined-only -C "$library" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
       grep -v -E '^((void|bool|int|char16_t\*|char\*) )?(Normalization::|std::|__gnu_cxx::)|^(operator (new|delete)|typeinfo (name )?for std::|vtable for std::|_init$|_fini$|_edata$|_end$|__bss_start$)' || true)
if [ -n "$ours" ]; then
  echo "unexpected exports:"; echo "$ours"; exit 1
fi
nm -D --defined-only -C "$library" | grep -q 'Normalization::Normalize' ||
  { echo "Normalization::Normalize is not exported"; exit 1; }

allowed='^$'
[ "$checks" = dchecks ] && allowed='\bfprintf\b'
logging=$(nm -D --undefined-only -C "$library" |
          grep -E '\b(printf|puts|fputs|fprintf|vprintf|vfprintf|perror|syslog|putchar)\b|std::cout|std::cerr|std::clog' |
          grep -v -E "$allowed" || true)
if [ -n "$logging" ]; then
  echo "the library calls output functions:"; echo "$logging"; exit 1
fi
echo "exports: ok"
nm -D --defined-only -C "$library" | grep 'Normalization::'

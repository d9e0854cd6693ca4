#!/usr/bin/env bash
# The C interface installed: the build tree installed to one prefix and moved elsewhere, the
# example in examples/c built through find_package(kavex) (kavex::c) and through pkg-config
# (kavex-c), in C99 with warnings as errors. Both must find the moved rules beside the moved
# library, with no KAVEX_RULES, and report failures with their messages.
set -euo pipefail
build=$1
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A library built with sanitizers needs their C++ runtimes in its host, which a C program
# does not link: the sanitizer runs check the library through the c_api test instead.
symbols=$(nm -D "$(find "$build" -name 'libkavex_c.so.1' -print -quit)")
if grep -q ' U __asan_init' <<<"$symbols"; then
  echo "SKIPPED: the library is built with sanitizers"
  exit 77
fi

cmake --install "$build" --prefix "$work/first" >/dev/null
mkdir "$work/moved"
mv "$work/first" "$work/moved/kavex"
prefix=$work/moved/kavex
test -f "$prefix/include/kavex/kavex.h"
libdir=$(dirname "$(find "$prefix" -name 'libkavex_c.so.1' -print -quit)")

cmake -S "$source/examples/c" -B "$work/cmake-example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
cmake --build "$work/cmake-example" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name kavex-c.pc -print -quit)")
flags=$(PKG_CONFIG_LIBDIR=$pcdir PKG_CONFIG_PATH='' pkg-config --cflags --libs kavex-c)
case $flags in
  *"-I$prefix/"*"-L$prefix/"*"-lkavex_c"*) ;;
  *) echo "kavex-c.pc gives '$flags', not the moved tree $prefix" >&2; exit 1 ;;
esac
# shellcheck disable=SC2086 # the flags are words
${CC:-cc} -std=c99 -Wall -Wextra -Wpedantic -Werror "$source/examples/c/main.c" \
  -o "$work/pc-example" $flags

cd "$work"
for example in "$work/cmake-example/normalize-line-c" "$work/pc-example"; do
  run() { env -u KAVEX_RULES LD_LIBRARY_PATH="$libdir" "$@"; }
  run "$example" >out.txt
  printf '\xd9\xbe\xda\xbe\xd9\x91\n' | cmp - out.txt
  # NFC composes e and U+0301 as it composes alef and maddah.
  run "$example" "$(printf 'e\xcc\x81 \xd8\xa7\xd9\x93')" >out.txt
  printf '\xc3\xa9 \xd8\xa2\n' | cmp - out.txt
  status=0
  run "$example" "$(printf 'ab\xc3(')" 2>err.txt || status=$?
  grep -q "invalid UTF-8 at byte offset 2" err.txt && [ "$status" = 1 ] ||
    { echo "invalid UTF-8: exit $status, '$(cat err.txt)'" >&2; exit 1; }
  mkdir -p empty
  status=0
  KAVEX_RULES=$work/empty LD_LIBRARY_PATH="$libdir" "$example" 2>err.txt || status=$?
  grep -q "rules folder '$work/empty': cannot open config.ini" err.txt && [ "$status" = 2 ] ||
    { echo "KAVEX_RULES without config.ini: exit $status, '$(cat err.txt)'" >&2; exit 1; }
done
echo "the C interface installed, moved, built two ways and run: ok"

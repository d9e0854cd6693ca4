#!/usr/bin/env bash
# Installs the build tree with `cmake --install --prefix` into a prefix other than the
# configured one, then moves the installed tree to another folder. From there, host
# programs built through find_package(kavex) and through pkg-config, and the installed
# kavex-normalize, must all work against the installed rules: nothing may depend on the
# prefix the build was configured for or first installed to.
set -euo pipefail
build=$1
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/first" >/dev/null
mkdir "$work/moved"
mv "$work/first" "$work/moved/kavex"
prefix=$work/moved/kavex
rules=$prefix/share/kavex/rules
test -f "$prefix/include/kavex/Normalization.h"
test -f "$rules/config.ini"
libdir=$(dirname "$(find "$prefix" -name 'libkavex.so*' -print -quit)")

# find_package(kavex): CMake also checks that the header and library it names exist. The
# compiler and flags come from the environment, as for the pkg-config host below
# (sanitizer runs set them).
cmake -S "$source/tests/consumer" -B "$work/cmake-consumer" -G Ninja \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
grep -q "^kavex_DIR:PATH=$prefix/" "$work/cmake-consumer/CMakeCache.txt"
cmake --build "$work/cmake-consumer" >/dev/null

# pkg-config, with only the moved tree's kavex.pc in sight.
pcdir=$(dirname "$(find "$prefix" -name kavex.pc -print -quit)")
flags=$(PKG_CONFIG_LIBDIR=$pcdir PKG_CONFIG_PATH='' pkg-config --cflags --libs kavex)
case $flags in
  *"-I$prefix/"*"-L$prefix/"*) ;;
  *) echo "kavex.pc gives '$flags', not the moved tree $prefix" >&2; exit 1 ;;
esac
# shellcheck disable=SC2086 # the flags are words
${CXX:-c++} -std=c++17 ${CXXFLAGS:-} "$source/tests/consumer/consumer.cpp" -o "$work/pc-consumer" \
  $flags ${LDFLAGS:-}

for consumer in "$work/cmake-consumer/consumer" "$work/pc-consumer"; do
  LD_LIBRARY_PATH=$libdir "$consumer" "$rules"
done

# The example of the README, built the way it says, run from the installed rules (where
# config.ini is) and from a folder without one, and with a config.ini it cannot read.
cmake -S "$source/examples/cpp" -B "$work/example" -G Ninja \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
example=$work/example/normalize-line
(cd "$rules" && LD_LIBRARY_PATH=$libdir "$example") >"$work/example.out"
printf '\xd9\xbe\xda\xbe\xd9\x91\n' | cmp - "$work/example.out"
(cd "$rules" && LD_LIBRARY_PATH=$libdir "$example" "$(printf 'e\xcc\x81 \xd8\xa7\xd9\x93')") \
  >"$work/example.out"
printf '\xc3\xa9 \xd8\xa2\n' | cmp - "$work/example.out"
mkdir "$work/no-config" "$work/bad-config" "$work/bad-config/config.ini"
for folder in no-config bad-config; do
  status=0
  (cd "$work/$folder" && LD_LIBRARY_PATH=$libdir "$example") 2>"$work/example.err" || status=$?
  if [ "$status" != 2 ] || ! grep -q "config.ini in $work/$folder" "$work/example.err"; then
    echo "the example in $folder: exit $status, '$(cat "$work/example.err")'" >&2
    exit 1
  fi
done

# The moved kavex-normalize finds its library and rules relative to itself.
tool=$prefix/bin/kavex-normalize
if [ -x "$tool" ]; then
  cd "$work"
  env -u LD_LIBRARY_PATH "$tool" --form nfd "$source/samples/urdu-heh.txt" >out.txt
  cmp out.txt "$source/samples/urdu-heh.nfd"
fi
echo "install, move, consumers and the example: ok"

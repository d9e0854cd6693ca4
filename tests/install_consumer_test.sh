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

# The moved kavex-normalize finds its library and rules relative to itself.
tool=$prefix/bin/kavex-normalize
if [ -x "$tool" ]; then
  cd "$work"
  env -u LD_LIBRARY_PATH "$tool" --form nfd "$source/samples/urdu-heh.txt" >out.txt
  cmp out.txt "$source/samples/urdu-heh.nfd"
fi
echo "install, move and consumers: ok"

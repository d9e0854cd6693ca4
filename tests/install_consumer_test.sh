#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds and runs a host program
# through find_package(kavex) and checks the pkg-config file.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/kavex/Normalization.h"
cmake -S "$source/tests/consumer" -B "$work/build" -G Ninja \
      -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null

libdir=$(dirname "$(find "$work/prefix" -name 'libkavex.so*' | head -n1)")
rules="$work/prefix/share/kavex/rules"
if [ -f "$rules/config.ini" ]; then
  LD_LIBRARY_PATH=$libdir "$work/build/consumer" "$rules"
else
  LD_LIBRARY_PATH=$libdir "$work/build/consumer"
fi

pc=$(find "$work/prefix" -name kavex.pc | head -n1)
PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --exists kavex
PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --libs kavex | grep -q -- -lkavex
echo "install and consumer: ok"

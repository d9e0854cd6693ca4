#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and runs the installed kavex-normalize from
# another folder: it must find the rules in <prefix>/share/kavex/rules with no option.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
tool="$work/prefix/bin/kavex-normalize"
test -x "$tool"
cd "$work"
env -u LD_LIBRARY_PATH "$tool" --version
if [ -f "$work/prefix/share/kavex/rules/config.ini" ]; then
  env -u LD_LIBRARY_PATH "$tool" --form nfd "$source/samples/urdu-heh.txt" >out.txt
  cmp out.txt "$source/samples/urdu-heh.nfd"
  # NFKC through the installed config.ini's own key: ﻷ becomes لأ.
  printf '\xef\xbb\xb7\n' | env -u LD_LIBRARY_PATH "$tool" --form nfkc >out.txt
  printf '\xd9\x84\xd8\xa3\n' | cmp - out.txt
fi
# kavex-rules is installed beside it and checks the installed rules clean.
rules_tool="$work/prefix/bin/kavex-rules"
test -x "$rules_tool"
env -u LD_LIBRARY_PATH "$rules_tool" --version
if [ -f "$work/prefix/share/kavex/rules/NFC.txt" ]; then
  env -u LD_LIBRARY_PATH "$rules_tool" check "$work/prefix/share/kavex/rules/NFC.txt" >/dev/null
fi
echo "installed kavex-normalize: ok"

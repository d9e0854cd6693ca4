#!/usr/bin/env bash
# Builds the Debian package with scripts/deb (its own Release build for /usr; lintian
# errors fail it), installs the package with dpkg into a throwaway root that has its own
# dpkg database, then runs the installed kavex-normalize on the samples and builds host
# programs through pkg-config and find_package(kavex) against the installed tree.
# Exits 77 (skipped) when a Debian tool it needs is missing.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)

for tool in dpkg dpkg-deb dpkg-shlibdeps dpkg-buildflags dpkg-architecture lintian help2man file pkg-config; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is missing (Debian packages dpkg-dev, lintian, help2man, file," \
         "pkg-config; scripts/test installs them)"
    exit 77
  fi
done

# Kept in the build tree, so the package and the logs can be looked at afterwards; the
# package's build folder is kept between runs, so a second run rebuilds only what changed.
work=$build/deb-package-test
mkdir -p "$work"
find "$work" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
cd "$work"

# The package is built as a user would, not with the flags of this build.
unset CXX CXXFLAGS LDFLAGS CPPFLAGS
if ! "$source/scripts/deb" "$work/build" >build.log 2>&1; then
  cat build.log
  exit 1
fi
sed -n '/^== lintian/,$p' build.log
deb=$(find "$work/build" -maxdepth 1 -name 'kavex_*_*.deb')
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$work/build/CMakeCache.txt")
test "$(basename "$deb")" = "kavex_${version}_${arch}.deb"

# What the package holds.
dpkg-deb --contents "$deb" | awk '{line = $1; for (i = 6; i <= NF; i++) line = line " " $i; print line}' >contents.txt
for entry in "-rwxr-xr-x ./usr/bin/kavex-normalize" \
             "-rwxr-xr-x ./usr/bin/kavex-rules" \
             "-rw-r--r-- ./usr/lib/$multiarch/libkavex.so.$version" \
             "lrwxrwxrwx ./usr/lib/$multiarch/libkavex.so.${version%%.*} -> libkavex.so.$version" \
             "lrwxrwxrwx ./usr/lib/$multiarch/libkavex.so -> libkavex.so.${version%%.*}" \
             "-rw-r--r-- ./usr/include/kavex/Normalization.h" \
             "-rw-r--r-- ./usr/lib/$multiarch/libkavex_c.so.$version" \
             "lrwxrwxrwx ./usr/lib/$multiarch/libkavex_c.so.${version%%.*} -> libkavex_c.so.$version" \
             "lrwxrwxrwx ./usr/lib/$multiarch/libkavex_c.so -> libkavex_c.so.${version%%.*}" \
             "-rw-r--r-- ./usr/include/kavex/kavex.h" \
             "-rw-r--r-- ./usr/lib/$multiarch/pkgconfig/kavex-c.pc" \
             "-rw-r--r-- ./usr/lib/$multiarch/cmake/kavex/kavexConfig.cmake" \
             "-rw-r--r-- ./usr/lib/$multiarch/pkgconfig/kavex.pc" \
             "-rw-r--r-- ./usr/share/kavex/rules/config.ini" \
             "-rw-r--r-- ./usr/share/man/man1/kavex-normalize.1.gz" \
             "-rw-r--r-- ./usr/share/man/man1/kavex-rules.1.gz" \
             "-rw-r--r-- ./usr/share/doc/kavex/copyright" \
             "-rw-r--r-- ./usr/share/doc/kavex/changelog.gz"; do
  if ! grep -qxF -- "$entry" contents.txt; then
    echo "the package lacks: $entry" >&2
    cat contents.txt >&2
    exit 1
  fi
done
if grep -Ev '^(-rw-r--r--|-rwxr-xr-x|drwxr-xr-x|lrwxrwxrwx) ' contents.txt; then
  echo "the entries above have unusual permissions" >&2
  exit 1
fi
dpkg-deb --field "$deb" Depends | grep -q 'libc6 (>='

# The second package, when the extension was built: the module, its SQL and the rules in
# the server's folders, and a dependency on the server.
pgdeb=$(find "$work/build" -maxdepth 1 -name 'postgresql-*-kavex_*.deb')
if [ -n "$pgdeb" ]; then
  pgcontents=$(dpkg-deb --contents "$pgdeb" | awk '{print $1, $6}')
  major=$(dpkg-deb --field "$pgdeb" Package | sed -E 's/^postgresql-([0-9]+)-kavex$/\1/')
  for entry in "-rw-r--r-- ./usr/lib/postgresql/$major/lib/kavex.so" \
               "-rw-r--r-- ./usr/share/postgresql/$major/extension/kavex.control" \
               "-rw-r--r-- ./usr/share/postgresql/$major/extension/kavex--1.0.sql" \
               "-rw-r--r-- ./usr/share/postgresql/$major/kavex/rules/config.ini" \
               "-rw-r--r-- ./usr/share/postgresql/$major/kavex/rules/profiles/urdu/config.ini" \
               "-rw-r--r-- ./usr/share/doc/postgresql-$major-kavex/copyright"; do
    grep -qxF -- "$entry" <<<"$pgcontents" || { echo "$pgdeb lacks: $entry" >&2; exit 1; }
  done
  if grep -q ' ./usr/\(bin\|include\)/' <<<"$pgcontents"; then
    echo "$pgdeb holds files of the first package" >&2
    exit 1
  fi
  dpkg-deb --field "$pgdeb" Depends | grep -q "postgresql-$major"
fi
dpkg-deb --field "$deb" Installed-Size | grep -qE '^[0-9]+$'

# A fresh dpkg database in a throwaway root. The postinst runs ldconfig: a stub stands in
# for it, and the scripts run without a chroot, so neither root nor a shell inside the new
# root is needed and this machine's linker cache is left alone.
root=$work/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" stubs
: >"$admin/status"
printf '#!/bin/sh\nexit 0\n' >stubs/ldconfig
chmod +x stubs/ldconfig
PATH="$work/stubs:$PATH:/usr/sbin:/sbin" \
  dpkg --instdir="$root" --admindir="$admin" --log="$work/dpkg.log" --force-not-root \
       --force-depends --force-script-chrootless -i "$deb" >dpkg-install.log 2>&1 ||
  { cat dpkg-install.log; exit 1; }
status=$(dpkg-query --admindir="$admin" -W -f='${Status}' kavex)
test "$status" = "install ok installed" || { echo "dpkg status: $status" >&2; exit 1; }

# The installed tool, run from elsewhere, finds its library and the rules in
# /usr/share/kavex/rules relative to itself.
tool=$root/usr/bin/kavex-normalize
checked=0
for sample in "$source"/samples/*.txt; do
  for form in nfc nfd nfkd; do
    expected=${sample%.txt}.$form
    [ -f "$expected" ] || continue
    env -u LD_LIBRARY_PATH "$tool" --form "$form" "$sample" >out.txt
    cmp out.txt "$expected"
    checked=$((checked + 1))
  done
done
test "$checked" -gt 0

# Host programs against the installed tree: through its kavex.pc (which finds the prefix
# from where it lies) and through its CMake package.
pcdir=$root/usr/lib/$multiarch/pkgconfig
flags=$(PKG_CONFIG_LIBDIR=$pcdir PKG_CONFIG_PATH='' pkg-config --cflags --libs kavex)
case $flags in
  *"-I$root/"*"-L$root/"*) ;;
  *) echo "kavex.pc gives '$flags', not the tree in $root" >&2; exit 1 ;;
esac
# shellcheck disable=SC2086 # the flags are words
c++ -std=c++17 "$source/tests/consumer/consumer.cpp" -o pc-consumer $flags
cmake -S "$source/tests/consumer" -B cmake-consumer -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
      >/dev/null
grep -q "^kavex_DIR:PATH=$root/" cmake-consumer/CMakeCache.txt
cmake --build cmake-consumer >/dev/null
for consumer in ./pc-consumer ./cmake-consumer/consumer; do
  LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$consumer" "$root/usr/share/kavex/rules"
done
# The C interface's example through kavex-c.pc, finding the rules installed beside its library.
flags=$(PKG_CONFIG_LIBDIR=$pcdir PKG_CONFIG_PATH='' pkg-config --cflags --libs kavex-c)
# shellcheck disable=SC2086 # the flags are words
cc -std=c99 -Wall -Werror "$source/examples/c/main.c" -o c-example $flags
env -u KAVEX_RULES LD_LIBRARY_PATH=$root/usr/lib/$multiarch ./c-example >out.txt
printf '\xd9\xbe\xda\xbe\xd9\x91\n' | cmp - out.txt
echo "Debian package: built, lintian clean of errors, installed with dpkg, $checked samples and three hosts: ok"

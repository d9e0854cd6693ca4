#!/usr/bin/env bash
# Runs the extension's pg_regress suite (postgres/test) against a real PostgreSQL server:
#
#   postgres_regress_test.sh BUILD SOURCE
#
# The server runs from a private copy of the system's PostgreSQL tree in a temporary
# folder, with the extension installed into that copy (`cmake --install --component
# postgresql` with DESTDIR): the system's folders are never written, so the test needs no
# root rights of its own. The server locates its share and library folders relative to its
# own executable, which is why a copy, and not a link, of it is made. The cluster listens
# on a Unix socket in that folder only (no TCP), and is stopped and removed on every exit.
# Run as root (as CI does), the server part runs as the user postgres (or nobody), since
# the server refuses to run as root.
# Exits 77 (skipped) when a server package is missing.
set -euo pipefail

if [ "${1:-}" = --server-part ]; then
  # Run as the unprivileged user, in the temporary folder it owns.
  shift
  work=$1 source=$2 tool=$3 bin=$work/tree$4 clients=$4
  data=$work/data
  socket=$work/socket
  mkdir -p "$socket" "$work/lines" "$work/out"
  cleanup() {
    if [ -f "$data/postmaster.pid" ]; then
      "$bin/pg_ctl" -D "$data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
  }
  trap cleanup EXIT
  "$bin/initdb" -D "$data" -E UTF8 --locale=C -A trust -U kavex_test >"$work/initdb.log" 2>&1 ||
    { cat "$work/initdb.log"; exit 1; }
  "$bin/pg_ctl" -D "$data" -l "$work/server.log" -w -t 60 \
      -o "-c listen_addresses='' -c unix_socket_directories='$socket' -c jit=off -c fsync=off" \
      start >/dev/null || { cat "$work/server.log"; exit 1; }

  # Real lines, and kavex-normalize's result of each under every form and profile it has.
  python3 "$source/postgres/test/real_lines.py" "$source" >"$work/lines/lines.txt"
  cp -r "$source/samples" "$work/lines/samples"
  for form in nfc nfd nfkd nfkc; do
    for profile in "" arabic-search persian urdu; do
      name=$form${profile:+-$profile}
      if ! "$tool" --form "$form" ${profile:+--profile "$profile"} "$work/lines/lines.txt" \
           >"$work/lines/$name.txt" 2>/dev/null; then
        rm -f "$work/lines/$name.txt"
      fi
    done
  done

  export KAVEX_REGRESS_LINES=$work/lines
  status=0
  # shellcheck disable=SC2046 # one word per test
  "$pg_regress" --bindir="$clients" --host="$socket" --user=kavex_test \
      --inputdir="$source/postgres/test" --outputdir="$work/out" \
      --dbname=kavex_regression --encoding=UTF8 --no-locale \
      $(cat "$source/postgres/test/schedule") || status=$?
  if [ "$status" != 0 ]; then
    cat "$work/out/regression.diffs" 2>/dev/null | head -n 400
    tail -n 40 "$work/server.log"
  fi
  exit "$status"
fi

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
pg_config=$(command -v pg_config || true)
packages="postgresql-15 postgresql-server-dev-15 postgresql-common (scripts/test installs them)"
if [ -z "$pg_config" ]; then
  echo "SKIPPED: pg_config is missing: Debian packages $packages"
  exit 77
fi
bindir=$("$pg_config" --bindir)
pkglibdir=$("$pg_config" --pkglibdir)
sharedir=$("$pg_config" --sharedir)
pg_regress=$pkglibdir/pgxs/src/test/regress/pg_regress
for needed in "$bindir/postgres" "$bindir/initdb" "$bindir/pg_ctl" "$bindir/psql" "$pg_regress"; do
  if [ ! -x "$needed" ]; then
    echo "SKIPPED: $needed is missing: Debian packages $packages"
    exit 77
  fi
done
if [ ! -f "$build/postgres/kavex.so" ]; then
  echo "the extension was not built in $build (postgres/kavex.so)" >&2
  exit 1
fi
tool=$build/bin/kavex-normalize

work=$(mktemp -d "${TMPDIR:-/tmp}/kavex-pg.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

# The private server tree, at the same paths under $tree as the system's, so that the
# server's relative lookups of its share and library folders land in it.
tree=$work/tree
mkdir -p "$tree$bindir" "$tree$pkglibdir" "$(dirname "$tree$sharedir")"
cp "$bindir/postgres" "$bindir/initdb" "$bindir/pg_ctl" "$tree$bindir/"
cp "$pkglibdir"/*.so "$tree$pkglibdir/"
cp -r "$sharedir" "$tree$sharedir"
DESTDIR=$tree cmake --install "$build" --component postgresql >"$work/install.log" ||
  { cat "$work/install.log"; exit 1; }

# A user's rules folder for the RULES option: one rule deletes the ASCII letter x, and one
# writes U+0000, which no text value can hold. Another folder holds a rules file without
# its byte-order mark.
rules=$tree$sharedir/tsearch_data/kavex
mkdir -p "$rules/regress_rules" "$rules/regress_broken"
printf 'NFCfilepath=rules.txt\nNFDfilepath=rules.txt\nNFKDfilepath=nul.txt\n' \
  >"$rules/regress_rules/config.ini"
printf '\xff\xfex\x00:\x00\r\x00\n\x00' >"$rules/regress_rules/rules.txt"
printf '\xff\xfez\x00:\x00\x00\x00\r\x00\n\x00' >"$rules/regress_rules/nul.txt"
printf 'NFCfilepath=rules.txt\n' >"$rules/regress_broken/config.ini"
printf 'x\x00:\x00\r\x00\n\x00' >"$rules/regress_broken/rules.txt"

export pg_regress
status=0
if [ "$(id -u)" = 0 ]; then
  user=postgres
  id -u "$user" >/dev/null 2>&1 || user=nobody
  chown -R "$user" "$work"
  runuser -u "$user" -- env pg_regress="$pg_regress" PATH="$PATH" \
    bash "$0" --server-part "$work" "$source" "$tool" "$bindir" || status=$?
else
  bash "$0" --server-part "$work" "$source" "$tool" "$bindir" || status=$?
fi
# The results and the differences stay in the build tree, to be looked at afterwards.
rm -rf "$build/postgres-regress"
cp -r "$work/out" "$build/postgres-regress" 2>/dev/null || true
exit "$status"

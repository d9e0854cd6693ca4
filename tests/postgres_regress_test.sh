#!/usr/bin/env bash
# Runs the extension's pg_regress suite (postgres/test) against a real PostgreSQL server:
#
#   postgres_regress_test.sh BUILD SOURCE
#
# The server is a private one (postgres/test/private-server.sh): the system's folders are
# never written, so the test needs no root rights of its own; the cluster is stopped and
# removed on every exit. Exits 77 (skipped) when a server package is missing.
set -euo pipefail
# shellcheck source=../postgres/test/private-server.sh
. "$(dirname "$0")/../postgres/test/private-server.sh"

if [ "${1:-}" = --server-part ]; then
  # Run as the unprivileged user, in the temporary folder it owns.
  shift
  work=$1 source=$2 tool=$3 bin=$work/tree$4 clients=$4
  data=$work/data
  socket=$work/socket
  mkdir -p "$work/lines" "$work/out"
  trap 'kavex_pg_stop "$bin" "$data"' EXIT
  kavex_pg_start "$bin" "$data" "$socket" "$work/server.log" kavex_test

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

tree=$work/tree
kavex_pg_tree "$work" "$build" "$bindir" "$pkglibdir" "$sharedir"

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
kavex_pg_unprivileged "$work" env pg_regress="$pg_regress" PATH="$PATH" \
  bash "$0" --server-part "$work" "$source" "$tool" "$bindir" || status=$?
# The results and the differences stay in the build tree, to be looked at afterwards.
rm -rf "$build/postgres-regress"
cp -r "$work/out" "$build/postgres-regress" 2>/dev/null || true
exit "$status"

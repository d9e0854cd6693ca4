#!/usr/bin/env bash
# kavex inside PostgreSQL against what the server offers, on 200,000 rows of real text:
#
#   bench/postgres-bench.sh [CORPUS_DIR]      # corpora from bench/corpus.sh (built if absent)
#
# Builds the extension (Release, in build-release-pg/), starts a private server from a copy
# of the system's PostgreSQL tree in a temporary folder (Unix socket only, removed on exit;
# as the user postgres when run as root), loads the rows into a table and times, in that
# server, single-threaded, the best of three runs of each:
#   kavex_normalize(body, 'NFC')                     against normalize(body, NFC)
#   kavex_normalize(body, 'NFKD', 'arabic-search')   against unaccent with a rules file that
#                                                    folds the same characters
#   a GIN index on to_tsvector through the kavex_arabic_search dictionary, against one
#   through unaccent (both followed by simple)
# The unaccent rules are written from the profile's own rules file: every rule whose source
# is one character and whose replacement has no blank (harakat, Quranic marks and tatweel
# deleted, alef forms to alef, alef maksura to yeh, teh marbuta to heh, the presentation
# forms unfolded). A last line gives the same index through simple alone: the time of
# parsing and of building the index, which no dictionary can take away.
set -euo pipefail
shopt -s inherit_errexit
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=../postgres/test/private-server.sh
. "$ROOT/postgres/test/private-server.sh"
CORPUS=$(realpath -m "${1:-$ROOT/build-release-pg/corpus}")
BUILD=$ROOT/build-release-pg
ROWS=200000

if [ "${KAVEX_PG_BENCH_PART:-}" = server ]; then
  work=$1 bin=$2 clients=$3
  data=$work/data socket=$work/socket
  trap 'kavex_pg_stop "$bin" "$data"' EXIT
  kavex_pg_start "$bin" "$data" "$socket" "$work/server.log" bench \
    -c shared_buffers=512MB -c maintenance_work_mem=512MB -c max_parallel_workers_per_gather=0 \
    -c max_parallel_maintenance_workers=0
  export PGOPTIONS='-c client_min_messages=warning'
  psql=("$clients/psql" -X -q -h "$socket" -U bench -d postgres -v ON_ERROR_STOP=1)
  "${psql[@]}" <<SQL
CREATE EXTENSION kavex;
CREATE EXTENSION unaccent;
CREATE TEXT SEARCH DICTIONARY kavex_fold_unaccent (TEMPLATE = unaccent, RULES = 'kavex_fold');
CREATE TEXT SEARCH CONFIGURATION bench_kavex (COPY = simple);
ALTER TEXT SEARCH CONFIGURATION bench_kavex ALTER MAPPING FOR word, hword, hword_part,
  asciiword, asciihword, hword_asciipart WITH kavex_arabic_search, simple;
CREATE TEXT SEARCH CONFIGURATION bench_unaccent (COPY = simple);
ALTER TEXT SEARCH CONFIGURATION bench_unaccent ALTER MAPPING FOR word, hword, hword_part,
  asciiword, asciihword, hword_asciipart WITH kavex_fold_unaccent, simple;
-- unaccent is STABLE; an index takes it through the usual IMMUTABLE wrapper.
CREATE FUNCTION fold_unaccent(text) RETURNS text
  AS \$\$ SELECT public.unaccent('public.kavex_fold_unaccent', \$1) \$\$
  LANGUAGE sql IMMUTABLE PARALLEL SAFE STRICT;
CREATE TABLE corpus (body text);
INSERT INTO corpus SELECT line FROM string_to_table(pg_read_file('$work/rows.txt'), E'\n') line
  WHERE line <> '';
VACUUM ANALYZE corpus;
SQL
  best() {  # best of three, in ms, of the statement $1 (after one warming run)
    local sql=$1 run times=()
    "${psql[@]}" -c "$sql" >/dev/null
    for run in 1 2 3; do
      times+=("$("${psql[@]}" -c '\timing on' -c "$sql" | sed -n 's/^Time: \([0-9.]*\) ms.*/\1/p' | tail -n1)")
    done
    printf '%s\n' "${times[@]}" | sort -g | head -n1
  }
  row() {  # label, kavex statement, other statement, other label
    local k o
    k=$(best "$2")
    o=$(best "$3")
    printf '| %s | %s ms | %s: %s ms | %.1f× |\n' "$1" "$k" "$4" "$o" "$(echo "$o / $k" | bc -l)"
  }
  rows=$("${psql[@]}" -At -c "SELECT count(*) || ' rows, ' || pg_size_pretty(sum(octet_length(body))) FROM corpus")
  echo "PostgreSQL $("$bin/postgres" --version | sed -E 's/^[^)]*\) ([0-9.]+).*/\1/'), $rows, one core, best of 3"
  echo
  echo "| what | kavex | the server's own | kavex faster by |"
  echo "| --- | --- | --- | --- |"
  row "NFC" "SELECT sum(length(kavex_normalize(body, 'NFC'))) FROM corpus" \
      "SELECT sum(length(normalize(body, NFC))) FROM corpus" "normalize(body, NFC)"
  row "fold for search" "SELECT sum(length(kavex_normalize(body, 'NFKD', 'arabic-search'))) FROM corpus" \
      "SELECT sum(length(unaccent('kavex_fold_unaccent', body))) FROM corpus" "unaccent"
  row "GIN index on to_tsvector" \
      "DROP INDEX IF EXISTS gin_k; CREATE INDEX gin_k ON corpus USING gin (to_tsvector('bench_kavex', body))" \
      "DROP INDEX IF EXISTS gin_u; CREATE INDEX gin_u ON corpus USING gin (to_tsvector('bench_unaccent', body))" \
      "through unaccent"
  row "GIN index, folded first" \
      "DROP INDEX IF EXISTS gin_kf; CREATE INDEX gin_kf ON corpus USING gin (to_tsvector('simple', kavex_normalize(body, 'NFKD', 'arabic-search')))" \
      "DROP INDEX IF EXISTS gin_uf; CREATE INDEX gin_uf ON corpus USING gin (to_tsvector('simple', fold_unaccent(body)))" \
      "unaccent first"
  # The floor of both: the same index through simple alone, which folds nothing.
  echo "| GIN index through simple alone (no folding) | | $(best "DROP INDEX IF EXISTS gin_s; CREATE INDEX gin_s ON corpus USING gin (to_tsvector('simple', body))") ms | |"
  exit 0
fi

pg_config=$(command -v pg_config) || { echo "pg_config is missing (postgresql-server-dev-15)" >&2; exit 1; }
command -v bc >/dev/null || { echo "bc is missing (Debian package bc)" >&2; exit 1; }
bindir=$("$pg_config" --bindir) pkglibdir=$("$pg_config" --pkglibdir) sharedir=$("$pg_config" --sharedir)

echo "== build (Release) in $BUILD" >&2
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVEX_BUILD_TESTS=OFF \
      -DKAVEX_BUILD_PYTHON=OFF >/dev/null
cmake --build "$BUILD" --target kavex_postgresql >/dev/null
if [ ! -f "$CORPUS/MANIFEST" ]; then
  echo "== corpora in $CORPUS" >&2
  "$ROOT/bench/corpus.sh" "$CORPUS" >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kavex-pg-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
tree=$work/tree
kavex_pg_tree "$work" "$BUILD" "$bindir" "$pkglibdir" "$sharedir"

# The rows: the distinct lines of every corpus, in turn, until there are $ROWS.
python3 - "$CORPUS" "$work/rows.txt" "$ROWS" <<'PY'
import glob, itertools, sys
corpus, out, rows = sys.argv[1], sys.argv[2], int(sys.argv[3])
kinds = []
for path in sorted(glob.glob(corpus + "/*.txt")):
    with open(path, encoding="utf-8") as f:
        kinds.append(list(dict.fromkeys(l.strip() for l in f if l.strip() and "\\" not in l)))
lines = [l for group in itertools.zip_longest(*kinds) for l in group if l]
with open(out, "w", encoding="utf-8") as f:
    for line in itertools.islice(itertools.cycle(lines), rows):
        f.write(line + "\n")
PY

# unaccent's rules from the profile's: one character to a replacement without blanks.
python3 - "$ROOT/rules/profiles/arabic-search/NFKD.txt" \
  "$tree$sharedir/tsearch_data/kavex_fold.rules" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()[2:].decode("utf-16-le")
kept = 0
with open(sys.argv[2], "w", encoding="utf-8") as out:
    for rule in data.split("\r\n"):
        if ":" not in rule:
            continue
        source, replacement = rule.split(":", 1)
        if len(source) != 1 or any(c.isspace() for c in replacement) or source.isspace():
            continue
        out.write(source + ("\t" + replacement if replacement else "") + "\n")
        kept += 1
print(f"unaccent rules: {kept} of the profile's NFKD rules", file=sys.stderr)
PY

kavex_pg_unprivileged "$work" env KAVEX_PG_BENCH_PART=server PATH="$PATH" \
  bash "$0" "$work" "$tree$bindir" "$bindir"

#!/usr/bin/env bash
# Times kavex-normalize end to end against a three-line Python script (read the file,
# unicodedata.normalize, write the result) and ICU's uconv, per form, side by side with
# hyperfine on one large file of real text, and on a one-line file; prints a Markdown table
# in seconds. Beside it, the library's own time on the large file (the text converted to
# UTF-16 in memory, the sized Normalize of the same form on all of it, fastest of 7 runs,
# by kavex_library_time) and its share of the tool's time: 1.00 would be a tool that costs
# nothing beyond the library.
#
#   bench/tool-bench.sh [FILE]
#
# FILE is UTF-8 text; by default the Urdu, Persian and vowelled Arabic corpora of
# bench/corpus.sh (about 45 MB together), built in the build folder when missing.
# KAVEX_BENCH_BUILD_DIR chooses the build folder (default build-bench), KAVEX_TOOL_RUNS the
# runs per command (default 5). Needs hyperfine and uconv (Debian: hyperfine, icu-devtools).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${KAVEX_BENCH_BUILD_DIR:-$ROOT/build-bench}
RUNS=${KAVEX_TOOL_RUNS:-5}

missing=()
command -v hyperfine >/dev/null || missing+=(hyperfine)
command -v uconv >/dev/null || missing+=(icu-devtools)
command -v python3 >/dev/null || missing+=(python3)
if ((${#missing[@]})); then
  echo "tool-bench: install ${missing[*]} (apt-get install ${missing[*]})" >&2
  exit 2
fi

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVEX_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD" --target kavex-normalize kavex_library_time >/dev/null
TOOL=$BUILD/bin/kavex-normalize

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
if (($#)); then
  FILE=$1
else
  CORPUS=${KAVEX_CORPUS_DIR:-$BUILD/corpus}
  if [ ! -f "$CORPUS/urdu.txt" ]; then
    bench/corpus.sh "$CORPUS" >&2
  fi
  FILE=$WORK/real.txt
  cat "$CORPUS"/urdu.txt "$CORPUS"/persian.txt "$CORPUS"/vowelled.txt >"$FILE"
fi
ONE_LINE=$ROOT/samples/urdu-heh.txt

cat >"$WORK/normalize.py" <<'PY'
import sys, unicodedata
text = open(sys.argv[2], encoding="utf-8").read()
open(sys.argv[3], "w", encoding="utf-8").write(unicodedata.normalize(sys.argv[1], text))
PY

JOBS=$(nproc)
for form in NFD NFC NFKD; do
  lower=$(tr 'A-Z' 'a-z' <<<"$form")
  "$BUILD/bin/kavex_library_time" "$BUILD/bin/rules" "$lower" "$FILE" 7 >"$WORK/library-$form.txt"
  for input in "$FILE" "$ONE_LINE"; do
    name=$(basename "$input" .txt)
    runs=$RUNS
    [ "$input" = "$ONE_LINE" ] && runs=$((RUNS * 10))
    hyperfine --warmup 1 --runs "$runs" --export-json "$WORK/$name-$form.json" \
      -n "jobs1" "'$TOOL' --form $lower --jobs 1 -o '$WORK/out' '$input'" \
      -n "jobsN" "'$TOOL' --form $lower --jobs $JOBS -o '$WORK/out' '$input'" \
      -n "python" "python3 '$WORK/normalize.py' $form '$input' '$WORK/out'" \
      -n "uconv" "uconv -f utf-8 -t utf-8 -x Any-$form -o '$WORK/out' '$input'" >&2
  done
done

python3 - "$WORK" "$FILE" "$ONE_LINE" "$JOBS" <<'PY'
import json, os, sys
work, big, one, jobs = sys.argv[1:5]
size = os.path.getsize(big) / 1e6
print(f"Seconds, mean of hyperfine runs (± standard deviation); {os.path.basename(big)} is "
      f"{size:.1f} MB of UTF-8, the one-line file is {os.path.basename(one)}.")
print()
print(f"The library column is the sized Normalize alone on the large file's text in UTF-16; "
      f"library / tool is its time over the tool's (jobs 1, jobs {jobs}).")
print()
print(f"| file | form | kavex-normalize --jobs 1 | kavex-normalize --jobs {jobs} | library | "
      "library / tool | Python unicodedata | uconv | best other / kavex |")
print("|---|---|--:|--:|--:|--:|--:|--:|--:|")
for path in (big, one):
    name = os.path.basename(path)
    stem = name[:-4] if name.endswith(".txt") else name
    for form in ("NFD", "NFC", "NFKD"):
        with open(os.path.join(work, f"{stem}-{form}.json")) as f:
            results = {r["command"]: r for r in json.load(f)["results"]}
        cell = lambda r: f"{r['mean']:.3f} ± {r['stddev']:.3f}" if r["mean"] >= 0.1 else \
            f"{r['mean'] * 1e3:.1f} ms ± {r['stddev'] * 1e3:.1f}"
        kavex = min(results["jobs1"]["mean"], results["jobsN"]["mean"])
        other = min(results["python"]["mean"], results["uconv"]["mean"])
        library = share = "-"
        if path == big:
            with open(os.path.join(work, f"library-{form}.txt")) as f:
                seconds = float(f.read().split()[0])
            library = f"{seconds:.3f}"
            share = (f"{seconds / results['jobs1']['mean']:.2f} / "
                     f"{seconds / results['jobsN']['mean']:.2f}")
        print(f"| {name} | {form} | {cell(results['jobs1'])} | {cell(results['jobsN'])} | "
              f"{library} | {share} | {cell(results['python'])} | {cell(results['uconv'])} | "
              f"{other / kavex:.2f} |")
PY

#!/usr/bin/env bash
# Cold start of a process that uses kavex: Initialize with the shipped rules, and the load
# of each rules file alone, each timed as a whole process with hyperfine against the same
# program that loads nothing, with its peak resident memory and page faults. Also loads a
# generated rules file ten times the size of NFC, to show how load time and memory grow.
# Prints Markdown.
#
#   bench/cold-start.sh                 # builds kavex_cold_start in Release first
#   KAVEX_COLD_START=path/to/kavex_cold_start bench/cold-start.sh   # an existing build
#
# KAVEX_BENCH_BUILD_DIR chooses the build folder (default build-bench); COLD_START_RUNS the
# hyperfine runs per command (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${KAVEX_BENCH_BUILD_DIR:-$ROOT/build-bench}
RUNS=${COLD_START_RUNS:-60}

if [[ -z "${KAVEX_COLD_START:-}" ]]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVEX_BUILD_BENCHMARKS=ON \
        >/dev/null
  cmake --build "$BUILD" --target kavex_cold_start >/dev/null
  KAVEX_COLD_START=$BUILD/bin/kavex_cold_start
fi
PROGRAM=$(realpath "$KAVEX_COLD_START")
for tool in hyperfine /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "cold-start.sh: $tool is missing" >&2; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
# "config.ini" is read from the current directory: name the shipped files by absolute path.
printf 'NFDfilepath=%s\nNFCfilepath=%s\nNFKDfilepath=%s\n' \
  "$ROOT/rules/NFD.txt" "$ROOT/rules/NFC.txt" "$ROOT/rules/NFKD.txt" >"$WORK/config.ini"

# Ten times the bytes of NFC.txt. The 16-bit limits (65,535 rules, 65,536 states) keep ten
# times its rules out of reach, so this file takes the rules and states to near those limits
# with distinct random sources of 2 to 4 units over 998 units (the width of NFKD), and pads
# the replacements until the file is ten times as large.
python3 - "$ROOT/rules/NFC.txt" "$WORK/large.txt" <<'PY'
import random, sys
target = 10 * len(open(sys.argv[1], "rb").read())
rng = random.Random(17)
alphabet = [chr(0x0600 + k) for k in range(998)]
sources, prefixes, states = [], set(), 1
while len(sources) < 65000:
    source = "".join(rng.choice(alphabet) for _ in range(rng.randint(2, 4)))
    new = [source[:k] for k in range(1, len(source) + 1) if source[:k] not in prefixes]
    if source in prefixes or states + len(new) > 65000:
        if states > 64000: break
        continue
    prefixes.update(new)
    states += len(new)
    sources.append(source)
fixed = 2 + sum(2 * (len(s) + 3) for s in sources)  # mark, source, colon, CR LF
pad = max(1, (target - fixed) // (2 * len(sources)))
text = "".join(f"{s}:{(s * pad)[:pad]}\r\n" for s in sources)
open(sys.argv[2], "wb").write(b"\xff\xfe" + text.encode("utf-16-le"))
PY

# "peak KiB minor-faults", the median of five runs.
measure() {
  local samples=() k
  for k in 1 2 3 4 5; do
    samples+=("$( (cd "$WORK" && /usr/bin/time -f '%M %R' "$@" >/dev/null) 2>&1 | tail -n1)")
  done
  printf '%s\n' "${samples[@]}" | sort -n | sed -n 3p
}

declare -A RSS
LABELS=(baseline init NFD NFC NFKD large)
run_of() {
  case $1 in
    baseline) echo "$PROGRAM" ;;
    init) echo "$PROGRAM init" ;;
    large) echo "$PROGRAM load $WORK/large.txt" ;;
    *) echo "$PROGRAM load $ROOT/rules/$1.txt" ;;
  esac
}
COMMANDS=()
for label in "${LABELS[@]}"; do
  # shellcheck disable=SC2046
  RSS[$label]=$(measure $(run_of "$label"))
  COMMANDS+=("$(run_of "$label")")
done
declare -A SHAPE
for label in NFD NFC NFKD large; do
  # shellcheck disable=SC2046
  SHAPE[$label]=$(cd "$WORK" && $(run_of "$label"))
done

(cd "$WORK" && hyperfine -N --warmup 5 --runs "$RUNS" --export-json "$WORK/times.json" \
   "${COMMANDS[@]}" >&2)

python3 - "$WORK/times.json" "$WORK/large.txt" "$ROOT/rules" <<PY
import json, os, sys
times = json.load(open(sys.argv[1]))["results"]
labels = "${LABELS[*]}".split()
rss = dict(zip(labels, """$(for l in "${LABELS[@]}"; do echo "${RSS[$l]}"; done)""".split("\n")))
shape = dict(zip(["NFD", "NFC", "NFKD", "large"], """$(for l in NFD NFC NFKD large; do echo "${SHAPE[$l]}"; done)""".split("\n")))
sizes = {f: os.path.getsize(os.path.join(sys.argv[3], f + ".txt")) for f in ("NFD", "NFC", "NFKD")}
sizes["large"] = os.path.getsize(sys.argv[2])
ms = {l: (t["min"] * 1e3, t["mean"] * 1e3) for l, t in zip(labels, times)}
base = ms["baseline"]
names = {"baseline": "no Initialize (baseline)", "init": "Initialize, shipped rules",
         "NFD": "load NFD.txt", "NFC": "load NFC.txt", "NFKD": "load NFKD.txt",
         "large": "load 10x NFC size (generated)"}
print(f"hyperfine -N, {len(times[0]['times'])} runs each; peak RSS and minor page faults are the")
print("median of five runs of /usr/bin/time -f '%M %R'; 'net' subtracts the baseline.")
print()
print("| process | min ms | mean ms | net min ms | peak RSS MiB | net RSS MiB | page faults | net faults | file KiB | rules | states | alphabet | matcher KiB |")
print("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
b_kib, b_faults = map(int, rss["baseline"].split())
for l in labels:
    kib, faults = map(int, rss[l].split())
    row = [names[l], f"{ms[l][0]:.2f}", f"{ms[l][1]:.2f}",
           "–" if l == "baseline" else f"{ms[l][0] - base[0]:.2f}",
           f"{kib / 1024:.1f}", "–" if l == "baseline" else f"{(kib - b_kib) / 1024:.1f}",
           str(faults), "–" if l == "baseline" else str(faults - b_faults)]
    if l in shape:
        rules, states, alphabet, matcher = map(int, shape[l].split())
        row += [f"{sizes[l] / 1024:,.0f}", f"{rules:,}", f"{states:,}", str(alphabet),
                f"{matcher / 1024:,.0f}"]
    else:
        row += ["–"] * 5
    print("| " + " | ".join(row) + " |")
PY

#!/usr/bin/env python3
"""Throughput of kavex, unicodedata.normalize and PyICU's Normalizer2 for each form, and
the cold start of a process that normalizes one line.

    python3 python/bench.py [--corpus DIR] [--mib 4] [--repeat 7] [--cold-runs 20]
                            [--rules DIR] [--clock wall|cpu]

Two ways of calling: "text", one call on a whole text of `--mib` MiB of UTF-8; and
"lines", one call per line of the same text, as a tokenizer or a corpus cleaner calls
(the lines are the short strings of the corpus: sentences, UI strings, dictionary words).
On lines, "kavex batch" is one `normalize_all` call over all of them, against the faster of
the others' loops of one call per line that collect the results in a list, as
`normalize_all` returns them (keeping the results costs the loops memory they otherwise
reuse at once). Figures are MB (10^6 bytes) of UTF-8 input per second, the fastest of
`--repeat` runs, interleaved so that a busy moment of the machine does not fall on one
contender only; `--clock cpu` times the process's CPU time instead of the wall clock, which
a machine busy with other work disturbs less. NFKC runs where the rules in use (the shipped rules, or `--rules`)
name it ("n/a" otherwise).

Cold start: `python3 -c "import kavex; kavex.normalize('...')"` against a bare
`python3 -c "import unicodedata"`, the median of `--cold-runs` runs each through hyperfine
(interleaved runs timed here when hyperfine is not installed).

The texts: the real-text corpora of bench/corpus.sh when `--corpus DIR` names its output
(DIR/vowelled.txt, urdu.txt, persian.txt, presentation.txt), else the words of the
installed hunspell dictionaries (hunspell-ar, myspell-fa) in lines of eight words, and the
repository's samples. Needs kavex importable and python3-icu (Debian's /usr/bin/python3).
"""

import argparse
import json
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
# The sources of the package sit next to this script, without the compiled module: import
# the installed or built package instead.
sys.path = [p for p in sys.path if os.path.abspath(p or ".") != HERE]
import kavex  # noqa: E402

try:
    import icu
except ImportError:  # the table is still useful without it
    icu = None

FORMS = ["NFD", "NFC", "NFKD", "NFKC"]


def dictionary_lines(path, seed):
    with open(path, encoding="utf-8") as f:
        words = [line.split("/")[0].strip() for line in f][1:]
    words = [w for w in words if w]
    random.Random(seed).shuffle(words)
    return [" ".join(words[i:i + 8]) for i in range(0, len(words), 8)]


def load_texts(corpus, mib):
    """(name, lines) of about `mib` MiB of UTF-8 each."""
    texts = []
    if corpus:
        for kind in ("vowelled", "urdu", "persian", "presentation"):
            path = os.path.join(corpus, kind + ".txt")
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    texts.append((kind, f.read(mib << 20).splitlines()))
    if not texts:
        for name, path in (("arabic words", "/usr/share/hunspell/ar.dic"),
                           ("persian words", "/usr/share/hunspell/fa_IR.dic")):
            if os.path.exists(path):
                texts.append((name, dictionary_lines(path, 1)))
        samples = os.path.join(HERE, "..", "samples")
        lines = []
        for name in sorted(os.listdir(samples)):
            if name.endswith(".txt"):
                with open(os.path.join(samples, name), encoding="utf-8") as f:
                    lines += f.read().splitlines()
        texts.append(("samples", lines))
    sized = []
    for name, lines in texts:
        lines = [l for l in lines if l]
        total = sum(len(l.encode()) + 1 for l in lines)
        copies = max(1, (mib << 20) // max(total, 1))
        lines = lines * copies
        kept, size = [], 0
        for line in lines:
            if size >= mib << 20:
                break
            kept.append(line)
            size += len(line.encode()) + 1
        sized.append((name, kept))
    return sized


RULES = None  # --rules


def contenders(form):
    """(name, call) of each contender, kavex first (None when its rules lack the form),
    and kavex's batch call."""
    normalizer = kavex.Normalizer(rules=RULES)
    try:
        normalizer.normalize("", form)
        found = [("kavex", lambda text, n=normalizer.normalize: n(text, form))]
        batch = lambda lines, n=normalizer.normalize_all: n(lines, form)  # noqa: E731
    except kavex.RulesError:
        found = [("kavex", None)]
        batch = None
    found.append(("unicodedata", lambda text, f=form: unicodedata.normalize(f, text)))
    if icu is not None:
        icu_form = {"NFD": icu.Normalizer2.getNFDInstance,
                    "NFC": icu.Normalizer2.getNFCInstance,
                    "NFKD": icu.Normalizer2.getNFKDInstance,
                    "NFKC": icu.Normalizer2.getNFKCInstance}[form]()
        found.append(("PyICU", icu_form.normalize))
    return found, batch


CLOCK = time.perf_counter  # --clock


def measure(call, lines, whole, mode):
    start = CLOCK()
    if mode == "text":
        call(whole)
    elif mode == "batch":
        call(lines)
    elif mode == "list":
        results = [call(line) for line in lines]
    else:
        for line in lines:
            call(line)
    seconds = CLOCK() - start
    if mode == "list":
        del results
    return seconds


def cold_start(runs):
    """(median ms of a process that imports kavex and normalizes a line, of one that
    imports unicodedata, how they were timed)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.dirname(os.path.abspath(kavex.__file__)))] +
        [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    line = "\u067e\u0651\u06be \u0627\u0653"
    commands = [[sys.executable, "-c", f"import kavex; kavex.normalize('{line}')"],
                [sys.executable, "-c", "import unicodedata"]]
    hyperfine = shutil.which("hyperfine")
    if hyperfine:
        with tempfile.TemporaryDirectory() as work:
            report = os.path.join(work, "cold.json")
            quoted = [shlex.join(command) for command in commands]
            subprocess.run([hyperfine, "-N", "--warmup", "3", "--runs", str(runs),
                            "--export-json", report] + quoted, env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(report, encoding="utf-8") as f:
                results = json.load(f)["results"]
        medians = [r["median"] * 1e3 for r in results]
        return medians[0], medians[1], f"hyperfine -N, median of {runs} runs"
    times = [[], []]
    for _ in range(runs):
        for i, command in enumerate(commands):
            start = time.perf_counter()
            subprocess.run(command, env=env, check=True)
            times[i].append((time.perf_counter() - start) * 1e3)
    return (statistics.median(times[0]), statistics.median(times[1]),
            f"median of {runs} interleaved runs")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", help="output folder of bench/corpus.sh")
    parser.add_argument("--mib", type=int, default=4, help="MiB of UTF-8 per text (default 4)")
    parser.add_argument("--repeat", type=int, default=7, help="runs per cell (default 7)")
    parser.add_argument("--cold-runs", type=int, default=20,
                        help="process starts per cold-start figure (default 20; 0: none)")
    parser.add_argument("--rules", help="rules folder for kavex (default: the shipped rules)")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="time the wall clock (default) or the process's CPU time")
    args = parser.parse_args()
    global RULES, CLOCK
    RULES = args.rules
    CLOCK = time.perf_counter if args.clock == "wall" else time.process_time

    texts = load_texts(args.corpus, args.mib)
    names = [name for name, _ in contenders("NFC")[0]]
    print(f"Python {sys.version.split()[0]}, kavex {kavex.__version__}"
          + (f" (rules {args.rules})" if args.rules else "") + ", "
          f"unicodedata {unicodedata.unidata_version}"
          + (f", ICU {icu.ICU_VERSION} (PyICU {icu.VERSION})" if icu else "")
          + f"; MB of UTF-8 input per second, fastest of {args.repeat} runs "
          f"({args.clock} clock)\n")
    print("| text | calls | form | " + " | ".join(f"{n} MB/s" for n in names) +
          " | kavex / best other | kavex batch MB/s | batch / best other listing | same as ICU |")
    print("|---|---|---|" + "--:|" * len(names) + "--:|--:|--:|:-:|")
    for name, lines in texts:
        whole = "\n".join(lines)
        megabytes = len(whole.encode()) / 1e6
        for mode in ("text", "lines"):
            for form in FORMS:
                calls, batch = contenders(form)
                timed = [(n, call, mode) for n, call in calls if call is not None]
                if mode == "lines" and batch is not None:
                    timed.append(("batch", batch, "batch"))
                    timed += [(n + " list", call, "list") for n, call in calls[1:]]
                best = {n: float("inf") for n, _, _ in timed}
                order = list(range(len(timed)))
                for run in range(args.repeat):
                    random.Random(run).shuffle(order)
                    for i in order:
                        n, call, how = timed[i]
                        best[n] = min(best[n], measure(call, lines, whole, how))
                rates = {n: megabytes / seconds for n, seconds in best.items()}
                other = max((rates[n] for n in names[1:]), default=float("nan"))
                cells = [f"{rates[n]:,.0f}" if n in rates else "n/a" for n in names]
                ratio = f"{rates['kavex'] / other:.2f}" if "kavex" in rates else "n/a"
                if "batch" in rates:
                    listed = max(rates[n + " list"] for n in names[1:])
                    batch_cells = [f"{rates['batch']:,.0f}", f"{rates['batch'] / listed:.2f}"]
                else:
                    batch_cells = ["–" if mode == "text" else "n/a"] * 2
                # ICU has the Unicode version of the shipped rules; this Python's
                # unicodedata may be older.
                if calls[0][1] is None:
                    same = "n/a"
                else:
                    same = "yes" if calls[0][1](whole) == calls[-1][1](whole) else "no"
                print(f"| {name} | {mode} | {form} | " + " | ".join(cells) +
                      f" | {ratio} | " + " | ".join(batch_cells) + f" | {same} |", flush=True)
    if args.cold_runs > 0:
        kavex_ms, bare_ms, how = cold_start(args.cold_runs)
        print(f"\nCold start ({how}):\n")
        print("| process | ms | over bare |")
        print("|---|--:|--:|")
        print(f"| python3 -c \"import unicodedata\" | {bare_ms:.1f} | – |")
        print(f"| python3 -c \"import kavex; kavex.normalize('...')\" | {kavex_ms:.1f} | "
              f"{kavex_ms - bare_ms:+.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())

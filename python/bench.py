#!/usr/bin/env python3
"""Throughput of kavex, unicodedata.normalize and PyICU's Normalizer2 for each form.

    python3 python/bench.py [--corpus DIR] [--mib 4] [--repeat 7]

Two ways of calling: "text", one call on a whole text of `--mib` MiB of UTF-8; and
"lines", one call per line of the same text, as a tokenizer or a corpus cleaner calls
(the lines are the short strings of the corpus: sentences, UI strings, dictionary words).
Figures are MB (10^6 bytes) of UTF-8 input per second, the fastest of `--repeat` runs,
interleaved so that a busy moment of the machine does not fall on one contender only.

The texts: the real-text corpora of bench/corpus.sh when `--corpus DIR` names its output
(DIR/vowelled.txt, urdu.txt, persian.txt, presentation.txt), else the words of the
installed hunspell dictionaries (hunspell-ar, myspell-fa) in lines of eight words, and the
repository's samples. Needs kavex importable and python3-icu (Debian's /usr/bin/python3).
"""

import argparse
import os
import random
import sys
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

FORMS = ["NFD", "NFC", "NFKD"]


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


def contenders(form):
    normalizer = kavex.Normalizer()
    found = [("kavex", lambda text, n=normalizer.normalize: n(text, form))]
    found.append(("unicodedata", lambda text, f=form: unicodedata.normalize(f, text)))
    if icu is not None:
        icu_form = {"NFD": icu.Normalizer2.getNFDInstance,
                    "NFC": icu.Normalizer2.getNFCInstance,
                    "NFKD": icu.Normalizer2.getNFKDInstance}[form]()
        found.append(("PyICU", icu_form.normalize))
    return found


def measure(call, lines, whole, mode):
    start = time.perf_counter()
    if mode == "text":
        call(whole)
    else:
        for line in lines:
            call(line)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", help="output folder of bench/corpus.sh")
    parser.add_argument("--mib", type=int, default=4, help="MiB of UTF-8 per text (default 4)")
    parser.add_argument("--repeat", type=int, default=7, help="runs per cell (default 7)")
    args = parser.parse_args()

    texts = load_texts(args.corpus, args.mib)
    names = [name for name, _ in contenders("NFC")]
    print(f"Python {sys.version.split()[0]}, kavex {kavex.__version__}, "
          f"unicodedata {unicodedata.unidata_version}"
          + (f", ICU {icu.ICU_VERSION} (PyICU {icu.VERSION})" if icu else "")
          + f"; MB of UTF-8 input per second, fastest of {args.repeat} runs\n")
    print("| text | calls | form | " + " | ".join(f"{n} MB/s" for n in names) +
          " | kavex / best other | same as ICU |")
    print("|---|---|---|" + "--:|" * len(names) + "--:|:-:|")
    for name, lines in texts:
        whole = "\n".join(lines)
        megabytes = len(whole.encode()) / 1e6
        for mode in ("text", "lines"):
            for form in FORMS:
                calls = contenders(form)
                best = {n: float("inf") for n, _ in calls}
                order = list(range(len(calls)))
                for run in range(args.repeat):
                    random.Random(run).shuffle(order)
                    for i in order:
                        n, call = calls[i]
                        best[n] = min(best[n], measure(call, lines, whole, mode))
                rates = [megabytes / best[n] for n, _ in calls]
                other = max(rates[1:]) if len(rates) > 1 else float("nan")
                # ICU has the Unicode version of the shipped rules; this Python's
                # unicodedata may be older.
                same = calls[0][1](whole) == calls[-1][1](whole)
                print(f"| {name} | {mode} | {form} | " +
                      " | ".join(f"{r:,.0f}" for r in rates) +
                      f" | {rates[0] / other:.2f} | {'yes' if same else 'no'} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

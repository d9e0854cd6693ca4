#!/usr/bin/env python3
"""Prints a few hundred lines of real Arabic-script text, one a line, the same on every run
with the same packages: the samples, the Arabic, Persian and Urdu translations of
iso-codes and other message catalogs in /usr/share/locale, and lines of ten words of the
hunspell-ar and myspell-fa word lists (which Debian's packages ship).

    real_lines.py SOURCE
"""
import glob
import gettext
import os
import sys

LINES_PER_SOURCE = 120


def arabic_script(text):
    return any("\u0600" <= c <= "\u06ff" or "\ufb50" <= c <= "\ufeff" or "\u0750" <= c <= "\u077f"
               for c in text)


def usable(line):
    return line and "\r" not in line and "\x00" not in line and arabic_script(line)


def catalog_lines(language):
    found = set()
    for path in sorted(glob.glob(f"/usr/share/locale/{language}/LC_MESSAGES/*.mo")):
        try:
            with open(path, "rb") as f:
                catalog = gettext.GNUTranslations(f)._catalog
        except Exception:  # a catalog that does not read is left out
            continue
        for key, value in catalog.items():
            if key and isinstance(value, str):
                found.update(line.strip() for line in value.split("\n"))
    return sorted(line for line in found if usable(line))[:LINES_PER_SOURCE]


def word_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            words = [line.split("/")[0].strip() for line in f][1:]
    except OSError:
        return []
    words = [w for w in words if usable(w)]
    step = max(1, len(words) // (LINES_PER_SOURCE * 10))
    chosen = words[::step][:LINES_PER_SOURCE * 10]
    return [" ".join(chosen[i:i + 10]) for i in range(0, len(chosen), 10)]


def main():
    source = sys.argv[1]
    lines = []
    for sample in sorted(glob.glob(os.path.join(source, "samples", "*.txt"))):
        with open(sample, encoding="utf-8") as f:
            lines.extend(line.rstrip("\n") for line in f if usable(line.rstrip("\n")))
    for language in ("ar", "fa", "ur"):
        lines.extend(catalog_lines(language))
    lines.extend(word_lines("/usr/share/hunspell/ar.dic"))
    lines.extend(word_lines("/usr/share/hunspell/fa_IR.dic"))
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()

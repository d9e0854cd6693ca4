#!/usr/bin/env python3
"""Writes a sample of real Urdu and Persian text from installed Debian packages for
rules_realtext_test, small enough for every test run:

    python3 tests/rules_realtext_sample.py OUTDIR [DEBS]

OUTDIR/urdu.txt and OUTDIR/persian.txt hold the translations of the gettext catalogs in
/usr/share/locale/ur and /usr/share/locale/fa (iso-codes, libglib2.0-data and any other
installed package's), and for Persian also the words of myspell-fa, a dozen to a line;
OUTDIR/presentation.txt the same lines shaped into presentation forms, harakat and
ligatures kept, by python3-arabic-reshaper, as text extracted from PDF files holds them.
UTF-8, one line of text a line, each kept as the package holds it (no-break and thin
spaces, directional marks and all): only lines with a letter of the Arabic script, each
once, in the order found. With DEBS, the folder of packages that bench/corpus.sh unpacks
(OUTDIR/debs there), the Urdu and Persian strings of Firefox and LibreOffice join them, as
the packages hold them: the corpora of bench/corpus.sh join the blanks of each line into
one space, no-break and thin spaces included.
"""

import glob
import os
import struct
import sys
import zipfile

# Every thirtieth line of the word list: some 900 lines, the whole alphabet.
WORD_LINE_STEP = 30


def catalog_strings(path):
    """The translations of a gettext catalog (every plural form), the header left out."""
    with open(path, "rb") as catalog:
        data = catalog.read()
    order = "<" if data[:4] == b"\xde\x12\x04\x95" else ">"
    count, _, table = struct.unpack(order + "3I", data[8:20])
    for i in range(1, count):
        length, offset = struct.unpack(order + "2I", data[table + 8 * i:table + 8 * i + 8])
        yield from data[offset:offset + length].decode("utf-8", "replace").split("\0")


def language_pack_strings(path):
    """The values of a Firefox language pack: Fluent messages and .properties entries."""
    with zipfile.ZipFile(path) as pack:
        for name in sorted(pack.namelist()):
            if not name.endswith((".ftl", ".properties")):
                continue
            for line in pack.read(name).decode("utf-8", "replace").splitlines():
                if not line.lstrip().startswith("#"):
                    _, equals, value = line.partition("=")
                    yield (value if equals else line).strip()


def word_lines(path):
    words = []
    with open(path, encoding="utf-8", errors="replace") as source:
        next(source, None)  # the count
        for line in source:
            word = line.split("/", 1)[0].strip()
            if word:
                words.append(word)
    lines = [" ".join(words[i:i + 12]) for i in range(0, len(words), 12)]
    return lines[::WORD_LINE_STEP]


def arabic(line):
    return any("\u0600" <= c <= "\u06ff" or "\ufb50" <= c <= "\ufeff" for c in line)


def distinct(texts):
    seen, lines = set(), []
    for text in texts:
        for line in text.replace("\r", "").split("\n"):
            if line and line not in seen and arabic(line):
                seen.add(line)
                lines.append(line)
    return lines


def catalogs(language, debs=None):
    for path in sorted(glob.glob(f"/usr/share/locale/{language}/LC_MESSAGES/*.mo")):
        yield from catalog_strings(path)
    if debs is None:
        return
    extensions = f"firefox-esr-l10n-{language}/usr/lib/firefox-esr/browser/extensions/*.xpi"
    for path in sorted(glob.glob(os.path.join(debs, extensions))):
        yield from language_pack_strings(path)
    office = f"libreoffice-l10n-{language}/usr/lib/libreoffice/program/resource/{language}"
    for path in sorted(glob.glob(os.path.join(debs, office, "LC_MESSAGES/*.mo"))):
        yield from catalog_strings(path)


def write(folder, kind, lines):
    with open(os.path.join(folder, kind + ".txt"), "w", encoding="utf-8", newline="\n") as out:
        out.write("".join(line + "\n" for line in lines))
    print(f"{kind}: {len(lines)} lines")


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: rules_realtext_sample.py OUTDIR [DEBS]")
    folder = sys.argv[1]
    debs = sys.argv[2] if len(sys.argv) == 3 else None
    os.makedirs(folder, exist_ok=True)
    urdu = distinct(catalogs("ur", debs))
    persian = distinct(list(catalogs("fa", debs)) + word_lines("/usr/share/hunspell/fa_IR.dic"))
    write(folder, "urdu", urdu)
    write(folder, "persian", persian)
    try:
        import arabic_reshaper
    except ImportError:
        sys.exit("no arabic_reshaper: install Debian's python3-arabic-reshaper")
    reshaper = arabic_reshaper.ArabicReshaper(
        configuration={"delete_harakat": False, "support_ligatures": True})
    write(folder, "presentation", distinct(reshaper.reshape(line) for line in urdu + persian))


if __name__ == "__main__":
    main()

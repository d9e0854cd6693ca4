#!/usr/bin/env bash
# Builds the real-text corpora of the benchmarks from Debian packages:
#
#   bench/corpus.sh OUTDIR
#
# For each kind of text, OUTDIR/KIND.utf16 (UTF-16LE, 16 MiB, no byte order mark) and
# OUTDIR/KIND.txt (the same text as UTF-8), and OUTDIR/MANIFEST naming the packages and
# versions each kind comes from. The kinds:
#   vowelled      fully vowelled Quranic Arabic (texlive-lang-arabic's quran package)
#   urdu          Urdu UI strings and sentences (firefox-esr-l10n-ur, iso-codes) and
#                 lemmas (apertium-urd)
#   persian       Persian UI strings with ZWNJ (firefox-esr-l10n-fa, libreoffice-l10n-fa,
#                 iso-codes), a translation in sentences (texlive-lang-arabic) and the
#                 words of myspell-fa
#   presentation  Arabic and Persian sentences shaped into U+FB50-U+FEFF presentation forms
#                 by python3-arabic-reshaper, kept in logical order
# The distinct lines of each kind are written in a fixed order and repeated until 16 MiB of
# UTF-16, so the same packages give the same bytes. Packages are fetched with
# `apt-get download` and unpacked with `dpkg-deb -x` into OUTDIR/debs (nothing is
# installed); where a download fails, an installed package serves instead. A kind whose
# packages are all missing is skipped with a message; the others are still built. Nothing
# here is committed: the corpora are built where the benchmarks run.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: bench/corpus.sh OUTDIR" >&2
  exit 2
fi
OUT=$1
mkdir -p "$OUT/debs"
OUT=$(cd "$OUT" && pwd)

PACKAGES=(texlive-lang-arabic firefox-esr-l10n-ur firefox-esr-l10n-fa libreoffice-l10n-fa
          apertium-urd iso-codes myspell-fa python3-arabic-reshaper)

# One line per package in OUT/debs/ROOTS: name, version, and the folder its files are under.
: >"$OUT/debs/ROOTS"
for package in "${PACKAGES[@]}"; do
  root="$OUT/debs/$package"
  if [ ! -f "$root/.unpacked" ]; then
    rm -rf "$root"
    deb=$(cd "$OUT/debs" && ls "${package}"_*.deb 2>/dev/null | head -n1 || true)
    if [ -z "$deb" ]; then
      (cd "$OUT/debs" && apt-get download -q "$package" >/dev/null 2>&1) || true
      deb=$(cd "$OUT/debs" && ls "${package}"_*.deb 2>/dev/null | head -n1 || true)
    fi
    if [ -n "$deb" ]; then
      mkdir -p "$root"
      dpkg-deb -x "$OUT/debs/$deb" "$root"
      dpkg-deb -f "$OUT/debs/$deb" Version >"$root/.unpacked"
    fi
  fi
  if [ -f "$root/.unpacked" ]; then
    echo "$package $(cat "$root/.unpacked") $root" >>"$OUT/debs/ROOTS"
  elif version=$(dpkg-query -W -f='${Status} ${Version}' "$package" 2>/dev/null) &&
       [[ $version == "install ok installed "* ]]; then
    echo "$package ${version#install ok installed } /" >>"$OUT/debs/ROOTS"
  else
    echo "corpus: $package could not be downloaded and is not installed" >&2
  fi
done

python3 - "$OUT" <<'PY'
import glob, os, re, struct, sys, zipfile

out = sys.argv[1]
roots, versions = {}, {}
with open(os.path.join(out, "debs", "ROOTS")) as f:
    for line in f:
        name, version, root = line.rstrip("\n").split(" ", 2)
        roots[name], versions[name] = root, version

SIZE = 16 << 20  # bytes of UTF-16 per corpus

def files(package, pattern):
    root = roots.get(package)
    return sorted(glob.glob(os.path.join(root, pattern.lstrip("/")), recursive=True)) if root else []

def arabic_script(text):
    return any("\u0600" <= c <= "\u06ff" or "\ufb50" <= c <= "\ufeff" for c in text)

def mo_strings(path):
    """The translations of a gettext catalog (every plural form)."""
    data = open(path, "rb").read()
    order = "<" if data[:4] == b"\xde\x12\x04\x95" else ">"
    count, _, translations = struct.unpack(order + "3I", data[8:20])
    for i in range(1, count):  # entry 0 is the header
        length, offset = struct.unpack(order + "2I", data[translations + 8 * i:translations + 8 * i + 8])
        for text in data[offset:offset + length].decode("utf-8", "replace").split("\0"):
            yield text

def xpi_strings(path):
    """The values of a Firefox language pack: Fluent messages and .properties entries."""
    with zipfile.ZipFile(path) as z:
        for name in sorted(z.namelist()):
            if not name.endswith((".ftl", ".properties")):
                continue
            for line in z.read(name).decode("utf-8", "replace").splitlines():
                if line.lstrip().startswith("#"):
                    continue
                _, sep, value = line.partition("=")
                value = (value if sep else line).strip()
                if value:
                    yield value

def quran_verses(path):
    """The verses of a text of the quran package, without the TeX around them."""
    for line in open(path, encoding="utf-8"):
        m = re.match(r"\\qt@newcmd\\quran(?:text|trans@[a-z]+)@[a-z]+\{(.*)\}\s*$", line)
        if m:
            verse = re.sub(r"\\qt@no\{([^}]*)\}", r" \1", m.group(1))
            verse = re.sub(r"\\[A-Za-z@]+\s*", "", verse)
            yield verse.strip()

def words(path, per_line=12):
    """A hunspell word list, a dozen words to a line."""
    found = []
    with open(path, encoding="utf-8", errors="replace") as f:
        next(f, None)  # the count
        for line in f:
            word = line.split("/", 1)[0].strip()
            if word:
                found.append(word)
    for i in range(0, len(found), per_line):
        yield " ".join(found[i:i + per_line])

def dix_lemmas(path, per_line=12):
    found = re.findall(r'lm="([^"]+)"', open(path, encoding="utf-8").read())
    for i in range(0, len(found), per_line):
        yield " ".join(found[i:i + per_line])

def shaped(lines):
    sys.path.insert(0, os.path.dirname(files("python3-arabic-reshaper",
                                             "usr/lib/python3/dist-packages/arabic_reshaper")[0]))
    import arabic_reshaper
    reshaper = arabic_reshaper.ArabicReshaper(
        configuration={"delete_harakat": False, "support_ligatures": True})
    for line in lines:
        yield reshaper.reshape(line)

QURAN = "usr/share/texlive/texmf-dist/tex/latex/quran/"

def sources(kind):
    """(package, lines) for each source of a kind of text."""
    if kind == "vowelled":
        for p in files("texlive-lang-arabic", QURAN + "qurantext-uthmani.def"):
            yield "texlive-lang-arabic", quran_verses(p)
    elif kind == "urdu":
        for p in files("firefox-esr-l10n-ur", "usr/lib/firefox-esr/browser/extensions/*.xpi"):
            yield "firefox-esr-l10n-ur", xpi_strings(p)
        for p in files("iso-codes", "usr/share/locale/ur/LC_MESSAGES/*.mo"):
            yield "iso-codes", mo_strings(p)
        for p in files("apertium-urd", "usr/share/apertium/apertium-urd/*.dix"):
            yield "apertium-urd", dix_lemmas(p)
    elif kind == "persian":
        for p in files("firefox-esr-l10n-fa", "usr/lib/firefox-esr/browser/extensions/*.xpi"):
            yield "firefox-esr-l10n-fa", xpi_strings(p)
        for p in files("libreoffice-l10n-fa", "usr/lib/libreoffice/program/resource/fa/LC_MESSAGES/*.mo"):
            yield "libreoffice-l10n-fa", mo_strings(p)
        for p in files("iso-codes", "usr/share/locale/fa/LC_MESSAGES/*.mo"):
            yield "iso-codes", mo_strings(p)
        for p in files("texlive-lang-arabic", QURAN + "qurantext-fa.translation.def"):
            yield "texlive-lang-arabic", quran_verses(p)
        for p in files("myspell-fa", "usr/share/hunspell/fa_IR.dic"):
            yield "myspell-fa", words(p)
    elif kind == "presentation":
        if not files("python3-arabic-reshaper", "usr/lib/python3/dist-packages/arabic_reshaper"):
            return
        for p in files("texlive-lang-arabic", QURAN + "qurantext-simple.def"):
            yield "texlive-lang-arabic", shaped(quran_verses(p))
        for p in files("texlive-lang-arabic", QURAN + "qurantext-fa.translation.def"):
            yield "texlive-lang-arabic", shaped(quran_verses(p))

manifest = []
for kind in ("vowelled", "urdu", "persian", "presentation"):
    lines, seen, used = [], set(), []
    for package, found in sources(kind):
        before = len(lines)
        for line in found:
            line = " ".join(line.split())
            if line and line not in seen and arabic_script(line):
                seen.add(line)
                lines.append(line)
        if len(lines) > before and package not in used:
            used.append(package)
    if kind == "presentation" and lines:
        used.append("python3-arabic-reshaper")
    if not lines:
        print(f"corpus: skipped {kind}: none of its packages could be had", file=sys.stderr)
        for suffix in (".utf16", ".txt"):
            if os.path.exists(os.path.join(out, kind + suffix)):
                os.remove(os.path.join(out, kind + suffix))
        continue
    once = "\n".join(lines) + "\n"
    units = len(once.encode("utf-16-le")) // 2
    text = once * (SIZE // 2 // units + 1)
    # 16 MiB exactly, cut at a code point (never between the halves of a surrogate pair).
    encoded = text.encode("utf-16-le")[:SIZE]
    if 0xD800 <= struct.unpack("<H", encoded[-2:])[0] <= 0xDBFF:
        encoded = encoded[:-2]
    text = encoded.decode("utf-16-le")
    with open(os.path.join(out, kind + ".utf16"), "wb") as f:
        f.write(encoded)
    with open(os.path.join(out, kind + ".txt"), "wb") as f:
        f.write(text.encode("utf-8"))
    heh = once.count("\u06be")
    manifest.append(f"{kind}: {len(lines)} distinct lines, {units * 2} bytes of UTF-16 repeated "
                    f"to {len(encoded)}, {heh} U+06BE per repetition; from "
                    + ", ".join(f"{p} {versions[p]}" for p in used))
with open(os.path.join(out, "MANIFEST"), "w") as f:
    f.write("\n".join(manifest) + "\n")
print("\n".join(manifest))
PY

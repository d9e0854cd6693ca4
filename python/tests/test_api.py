"""The Python package against the C++ library (through reference_host.cpp, a host of the
public class) and its own contract: round trips, pickling, threads, every error."""

import array
import os
import pathlib
import pickle
import random
import shutil
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import kavex

SOURCE = os.environ.get("KAVEX_SOURCE_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
REFERENCE = os.environ.get("KAVEX_REFERENCE")
FORMS = ["NFD", "NFC", "NFKD"]


def word_list(path, count, seed):
    """`count` words of a hunspell dictionary (UTF-8, flags after a slash), picked at random."""
    with open(path, encoding="utf-8") as dic:
        words = [line.split("/")[0].strip() for line in dic][1:]
    words = [w for w in words if w]
    return random.Random(seed).sample(words, min(count, len(words)))


def real_lines():
    lines = []
    for name in sorted(os.listdir(os.path.join(SOURCE, "samples"))):
        if name.endswith(".txt") and name != "README.md":
            with open(os.path.join(SOURCE, "samples", name), encoding="utf-8") as sample:
                lines += sample.read().splitlines()
    for dic in ("/usr/share/hunspell/ar.dic", "/usr/share/hunspell/fa_IR.dic"):
        if os.path.exists(dic):
            words = word_list(dic, 600, len(lines))
            lines += [" ".join(words[i:i + 6]) for i in range(0, len(words), 6)]
    return lines


def generated_lines():
    """Texts that exercise the conversion between str and UTF-16: every str kind, characters
    beyond U+FFFF (Arabic mathematical letters, which NFKD rewrites), lone surrogates,
    U+0000 (which must not end the text), and the empty text."""
    rng = random.Random(7)
    alphabet = ("\u0622\u0623\u0627\u0653\u0654\u0651\u064e\u06be\u067e\u06cc\ufefb\ufdf2"
                "\U0001ee00\U0001ee01\U0001ee21\U0001f600\ud800\udbff\udc00\udfff\x00"
                "a\xe9 \u0600\ufc00")
    lines = ["", "\x00", "\x00\x00\u0622", "\u0622\x00", "abc", "caf\xe9 \x00",
             "\U0001ee00", "\ud800", "\udfff\u0622", "\u0622\udbff",
             "\u067e\u0651\u06be\x00\u067e\u0651\u06be", "\ufdfa" * 40]
    # U+06BE after each mark it moves in front of, and after neighbours that it does not.
    for mark in list(range(0x060F, 0x0617)) + list(range(0x064A, 0x065A)) + [0x066F, 0x0670,
                                                                          0x0671]:
        lines.append("\u067e" + chr(mark) + "\u06be")
    for _ in range(300):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 40)))
        # A lone high surrogate followed by a lone low one has no UTF-16 form of its own;
        # such texts are tested apart.
        if not has_split_pair(text):
            lines.append(text)
    return lines


def has_split_pair(text):
    return any("\ud800" <= a <= "\udbff" and "\udc00" <= b <= "\udfff"
               for a, b in zip(text, text[1:]))


def utf16(text):
    return text.encode("utf-16-le", "surrogatepass")


def library(data, form, rules=kavex.RULES):
    """The library's result for UTF-16LE bytes, from a host of the public class."""
    result = subprocess.run([REFERENCE, str(rules), form.lower()], input=data,
                            capture_output=True, check=True)
    return result.stdout


@pytest.fixture(scope="module")
def normalizer():
    return kavex.Normalizer()


@pytest.mark.skipif(not REFERENCE, reason="reference_host was not built")
@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("kind", ["real", "generated"])
def test_equals_the_library(normalizer, form, kind):
    lines = real_lines() if kind == "real" else generated_lines()
    assert len(lines) > 100
    expected = library(utf16("\n".join(lines)), form)
    got = [normalizer.normalize(line, form) for line in lines]
    assert utf16("\n".join(got)) == expected
    # The whole text at once: long enough to run without the GIL.
    whole = "\n".join(lines)
    assert utf16(normalizer.normalize(whole, form)) == expected
    assert normalizer.normalize_utf16le(utf16(whole), form) == expected
    for line, result in zip(lines, got):
        assert normalizer.is_normalized(line, form) == (result == line)
        assert (result is line) == (result == line), repr(line)
        assert kavex.normalize(line, form) == result


def test_lone_surrogates_side_by_side_stay_two_characters(normalizer):
    cases = [("\ud800\udc00", "NFC", "\ud800\udc00"),
             ("\ud800\udc00\u0627\u0653", "NFC", "\ud800\udc00\u0622"),
             ("\u0622\udbff\udfff\u0622", "NFD", "\u0627\u0653\udbff\udfff\u0627\u0653"),
             ("\ud83d\ude00\U0001ee00\x00\ud83d", "NFKD", "\ud83d\ude00\u0627\x00\ud83d")]
    for text, form, expected in cases:
        assert list(normalizer.normalize(text, form)) == list(expected)


def test_forms_in_any_spelling(normalizer):
    text = "\u0622\ufefb"
    for form in FORMS:
        expected = normalizer.normalize(text, form)
        for spelling in (form.lower(), form.title(), getattr(kavex.Form, form)):
            assert normalizer.normalize(text, spelling) == expected
    assert normalizer.normalize(text) == normalizer.normalize(text, "NFC")
    assert kavex.normalize(text) == normalizer.normalize(text, "NFC")


def copy_rules(folder):
    shutil.copytree(kavex.RULES, folder, ignore=shutil.ignore_patterns("profiles"))
    return str(folder)


def test_pickling(tmp_path):
    rules = copy_rules(tmp_path / "rules")
    for original in (kavex.Normalizer(), kavex.Normalizer(rules=rules)):
        copy = pickle.loads(pickle.dumps(original))
        assert type(copy) is kavex.Normalizer
        assert copy.rules == original.rules
        assert copy.normalize("\u0627\u0653") == "\u0622"
    # The shipped rules travel by name, not by the path of this installation.
    assert kavex.RULES.encode() not in pickle.dumps(kavex.Normalizer())


def test_profiles(tmp_path, monkeypatch):
    shipped = tmp_path / "shipped"
    copy_rules(shipped)
    copy_rules(shipped / "profiles" / "urdu")
    (shipped / "profiles" / "empty").mkdir()  # no config.ini: not a profile
    monkeypatch.setattr(kavex, "RULES", str(shipped))
    assert kavex.profiles() == ["urdu"]
    urdu = kavex.Normalizer(profile="urdu")
    assert urdu.rules == str(shipped / "profiles" / "urdu")
    assert urdu.normalize("\u067e\u0651\u06be") == "\u067e\u06be\u0651"
    assert pickle.loads(pickle.dumps(urdu)).profile == "urdu"
    for unknown in ("sindhi", "empty", "../profiles/urdu", ""):
        with pytest.raises(ValueError, match=r"unknown profile .*known profiles: urdu"):
            kavex.Normalizer(profile=unknown)
    with pytest.raises(ValueError, match="not both"):
        kavex.Normalizer(rules=str(shipped), profile="urdu")


def test_threads(normalizer):
    lines = real_lines()
    long_text = "\n".join(lines) * 4
    expected_long = {form: normalizer.normalize(long_text, form) for form in FORMS}
    expected_lines = {form: [normalizer.normalize(l, form) for l in lines] for form in FORMS}

    def work(i):
        form = FORMS[i % 3]
        if i % 2:
            return normalizer.normalize(long_text, form) == expected_long[form]
        return [kavex.normalize(l, form) for l in lines] == expected_lines[form]

    with ThreadPoolExecutor(8) as pool:
        assert all(pool.map(work, range(48)))


def test_loading_keeps_the_current_directory(tmp_path):
    # Loads from many threads at once, good and bad folders mixed, while the main thread
    # watches the current directory.
    here = os.getcwd()
    rules = copy_rules(tmp_path / "rules")
    missing = str(tmp_path / "missing")

    def load(i):
        try:
            kavex.Normalizer(rules=rules if i % 2 else missing)
            return True
        except kavex.RulesError:
            return False

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(load, range(8)))
    assert results == [False, True] * 4
    assert os.getcwd() == here


def test_import_and_default_normalizer_from_any_directory(tmp_path):
    # A fresh process, started elsewhere, whose first calls race to create the default.
    script = ("import threading, kavex, os\n"
              "out = []\n"
              "ts = [threading.Thread(target=lambda: out.append(kavex.normalize("
              "'\\u0627\\u0653'))) for _ in range(8)]\n"
              "[t.start() for t in ts]; [t.join() for t in ts]\n"
              "assert out == ['\\u0622'] * 8, out\n"
              "assert os.getcwd() == os.path.realpath('.')\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kavex.__file__)))
    subprocess.run([sys.executable, "-c", script], cwd=tmp_path, env=env, check=True)


def test_errors(normalizer, tmp_path):
    for bad_form in ("NFKC", "nf c", "", "NFCX", "\u0646FC", 1, None, b"NFC"):
        with pytest.raises(ValueError, match='"NFD", "NFC" or "NFKD"'):
            normalizer.normalize("x", bad_form)
        with pytest.raises(ValueError, match='"NFD", "NFC" or "NFKD"'):
            kavex.normalize("x", bad_form)
    for call in (normalizer.normalize, normalizer.is_normalized, kavex.normalize):
        for bad_text in (b"x", None, 1, ["x"]):
            with pytest.raises(TypeError, match="must be str"):
                call(bad_text)
    for bad_data in ("x", None, 1):
        with pytest.raises(TypeError, match="bytes-like"):
            normalizer.normalize_utf16le(bad_data)
    with pytest.raises(ValueError, match="even number of bytes"):
        normalizer.normalize_utf16le(b"'\x06S")
    assert normalizer.normalize_utf16le(bytearray(utf16("\u0627\u0653"))) == utf16("\u0622")
    assert normalizer.normalize_utf16le(memoryview(b"x" + utf16("\u0622"))[1:], "NFD") == \
        utf16("\u0627\u0653")


def strided_views():
    """Views whose units are not side by side in memory, long (normalized without the GIL)
    and short."""
    text = utf16("\u0627\u0653\u067e\u0651\u06be\ufefb\x00" * 400)
    units = memoryview(bytearray(text)).cast("H")
    return [units[::-1], units[::2], units[1::3], units[:9][::-1],
            memoryview(bytearray(text))[::2],
            memoryview(array.array("H", units.tolist()))[::-5]]


def test_strided_buffers_read_in_order_and_released(normalizer):
    # bytes(view) is the view in C order: what the units are.
    reversed_abcd = memoryview(bytearray(b"a\0b\0c\0d\0")).cast("H")[::-1]
    assert normalizer.normalize_utf16le(reversed_abcd) == b"d\0c\0b\0a\0"
    for view in strided_views():
        for form in FORMS:
            assert normalizer.normalize_utf16le(view, form) == \
                normalizer.normalize_utf16le(bytes(view), form)
        view.release()  # BufferError while an export is still held
    odd = memoryview(bytearray(b"abcdef"))[::2]
    with pytest.raises(ValueError, match="even number of bytes"):
        normalizer.normalize_utf16le(odd)
    odd.release()
    backing = bytearray(utf16("\u0627\u0653"))
    normalizer.normalize_utf16le(backing)
    backing.extend(b"x")  # BufferError while an export is still held
    with pytest.raises(ValueError, match="even number of bytes"):
        normalizer.normalize_utf16le(backing)
    backing.extend(b"x")


class BytesPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_nul_in_a_rules_path_or_profile(tmp_path):
    # The folder before the NUL exists: a path cut there would load it.
    rules = copy_rules(tmp_path / "rules")
    for path in (rules + "\0/x", os.fsencode(rules) + b"\0", pathlib.Path(rules + "\0x"),
                 BytesPath(os.fsencode(rules) + b"\0/x")):
        with pytest.raises(ValueError, match="null"):
            kavex.Normalizer(rules=path)
    for profile in kavex.profiles() + ["\0"]:
        with pytest.raises(ValueError):
            kavex.Normalizer(profile=profile + "\0")


def broken_folders(tmp_path):
    """(folder, the file the error must name or None) for each way a load fails."""
    cases = [(tmp_path / "missing", None)]
    empty = tmp_path / "empty"
    empty.mkdir()
    cases.append((empty, empty / "config.ini"))
    no_file = tmp_path / "no-file"
    copy_rules(no_file)
    os.remove(no_file / "NFKD.txt")
    cases.append((no_file, no_file / "NFKD.txt"))
    short = tmp_path / "short-config"
    copy_rules(short)
    (short / "config.ini").write_text("NFDfilepath=NFD.txt\nNFCfilepath=NFC.txt\n")
    cases.append((short, short / "config.ini"))
    not_rules = tmp_path / "not-rules"
    copy_rules(not_rules)
    (not_rules / "NFC.txt").write_bytes(b"no byte-order mark")
    cases.append((not_rules, not_rules / "NFC.txt"))
    return cases


def test_rules_errors(tmp_path):
    here = os.getcwd()
    for folder, file in broken_folders(tmp_path):
        with pytest.raises(kavex.RulesError) as caught:
            kavex.Normalizer(rules=folder)
        error = caught.value
        assert isinstance(error, OSError)
        assert str(folder) in str(error)
        assert error.folder == str(folder)
        if file is not None:
            assert error.file == str(file)
            assert os.path.basename(file) in str(error)
        assert os.getcwd() == here


def test_config_that_never_ends(tmp_path):
    # A load error like any other, after which the lock is free and the directory the same.
    endless = tmp_path / "endless"
    endless.mkdir()
    os.symlink("/dev/zero", endless / "config.ini")
    script = ("import kavex, os, sys\n"
              "here = os.getcwd()\n"
              "try:\n"
              "    kavex.Normalizer(rules=sys.argv[1])\n"
              "except kavex.RulesError as error:\n"
              "    assert error.file == os.path.join(sys.argv[1], 'config.ini'), error.file\n"
              "else:\n"
              "    raise AssertionError('loaded')\n"
              "assert os.getcwd() == here\n"
              "assert kavex.Normalizer().normalize('\\u0627\\u0653') == '\\u0622'\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kavex.__file__)))
    subprocess.run([sys.executable, "-c", script, str(endless)], cwd=tmp_path, env=env,
                   check=True, timeout=120)


@pytest.mark.skipif(not REFERENCE, reason="reference_host was not built")
def test_config_read_as_the_library_reads_it(tmp_path):
    # The library's reader takes a line after one without a key into that key: the
    # NFCfilepath there is lost. OTHER.txt holds the one rule x:y.
    configs = ["NFDfilepath=NFD.txt\nNFCfilepath=NFC.txt\n=junk\nNFCfilepath=OTHER.txt\n"
               "NFKDfilepath=NFKD.txt\n",
               "NFDfilepath=NFD.txt\n=junk\nNFCfilepath=OTHER.txt\nNFCfilepath=NFC.txt\n"
               "NFKDfilepath=NFKD.txt\n",
               "NFDfilepath=NFD.txt\nNFCfilepath=OTHER.txt\nNFKDfilepath=NFKD.txt\n"]
    short = ["\u0627\u0653", "xy", "\u067e\u0651\u06be", "abc", "\u0622\ufefb"]
    long = "\n".join(short * 200)
    for i, config in enumerate(configs):
        folder = tmp_path / str(i)
        copy_rules(folder)
        (folder / "config.ini").write_text(config)
        (folder / "OTHER.txt").write_bytes(b"\xff\xfe" + utf16("x:y\r\n"))
        normalizer = kavex.Normalizer(rules=folder)
        expected = library(utf16("\n".join(short)), "NFC", folder).decode("utf-16-le")
        got = [normalizer.normalize(text) for text in short]
        assert "\n".join(got) == expected, config
        assert [normalizer.is_normalized(text) for text in short] == \
            [a == b for a, b in zip(got, short)]
        assert utf16(normalizer.normalize(long)) == library(utf16(long), "NFC", folder), config

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
    batch = normalizer.normalize_all(lines, form)
    assert batch == got
    assert all((b is line) == (b == line) for b, line in zip(batch, lines))
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
            kavex.Normalizer(rules=rules if i % 2 else missing).normalize("x", FORMS[i % 3])
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
    for bad_form in ("NFK", "nf c", "", "NFCX", "\u0646FC", 1, None, b"NFC"):
        for call in (normalizer.normalize, kavex.normalize, normalizer.normalize_all,
                     kavex.normalize_all):
            with pytest.raises(ValueError, match='"NFD", "NFC", "NFKD" or "NFKC"'):
                call("x" if "all" not in call.__name__ else ["x"], bad_form)
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
    """(folder, the form whose load fails or None when the folder itself does, the file
    the error must name or None, a text it must hold) for each way a load fails."""
    cases = [(tmp_path / "missing", None, None, "does not exist")]
    empty = tmp_path / "empty"
    empty.mkdir()
    cases.append((empty, None, empty / "config.ini", "config.ini"))
    no_file = tmp_path / "no-file"
    copy_rules(no_file)
    os.remove(no_file / "NFKD.txt")
    cases.append((no_file, "NFKD", no_file / "NFKD.txt", "does not exist"))
    short = tmp_path / "short-config"
    copy_rules(short)
    (short / "config.ini").write_text("NFDfilepath=NFD.txt\nNFCfilepath=NFC.txt\n")
    cases.append((short, "NFKD", short / "config.ini", "NFKDfilepath"))
    cases.append((short, "NFKC", short / "config.ini", "NFKCfilepath"))
    not_rules = tmp_path / "not-rules"
    copy_rules(not_rules)
    (not_rules / "NFC.txt").write_bytes(b"no byte-order mark")
    cases.append((not_rules, "NFC", not_rules / "NFC.txt", "byte-order mark"))
    return cases


def test_rules_errors(tmp_path):
    # A folder is read when the normalizer is made, a form's rules file when the form is
    # first used: the other forms of the folder go on working.
    here = os.getcwd()
    for folder, form, file, cause in broken_folders(tmp_path):
        if form is None:
            with pytest.raises(kavex.RulesError) as caught:
                kavex.Normalizer(rules=folder)
            errors = [caught.value]
        else:
            normalizer = kavex.Normalizer(rules=folder)
            errors = []
            for call in (normalizer.normalize, normalizer.is_normalized,
                         normalizer.normalize_all, normalizer.normalize_utf16le):
                with pytest.raises(kavex.RulesError) as caught:
                    call(b"x\0" if call == normalizer.normalize_utf16le else "x", form)
                errors.append(caught.value)
            other = "NFD" if form != "NFD" else "NFC"
            assert normalizer.normalize("\u0622", other) == kavex.normalize("\u0622", other)
        for error in errors:
            assert isinstance(error, OSError)
            assert str(folder) in str(error) and cause in str(error), str(error)
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


def write_rules(folder, rules, keys=("NFDfilepath", "NFCfilepath", "NFKDfilepath",
                                     "NFKCfilepath")):
    """A rules folder whose config.ini names one rules file of `rules` ((source,
    replacement) pairs) under each key."""
    folder.mkdir()
    text = "".join(f"{source}:{replacement}\r\n" for source, replacement in rules)
    (folder / "RULES.txt").write_bytes(b"\xff\xfe" + utf16(text))
    (folder / "config.ini").write_text("".join(f"{key}=RULES.txt\n" for key in keys))
    return str(folder)


def test_nfkc(tmp_path):
    # Until the shipped config.ini names NFKC rules, the form is accepted and its load
    # fails naming the key; a folder that names them normalizes with them.
    shipped = kavex.Normalizer()
    with open(os.path.join(kavex.RULES, "config.ini"), encoding="utf-8") as config:
        ships_nfkc = "NFKCfilepath" in config.read()
    if not ships_nfkc:
        for call in (shipped.normalize, kavex.normalize):
            with pytest.raises(kavex.RulesError, match="NFKCfilepath") as caught:
                call("\ufefb", kavex.Form.NFKC)
            assert caught.value.file == os.path.join(kavex.RULES, "config.ini")
    else:
        assert kavex.normalize("\ufefb", kavex.Form.NFKC) == "\u0644\u0627"
    # NFKC from NFKD's file: the same results as the library's NFKD.
    folder = tmp_path / "nfkc"
    copy_rules(folder)
    with open(folder / "config.ini", "a", encoding="utf-8") as config:
        config.write("\nNFKCfilepath=NFKD.txt\n")
    normalizer = kavex.Normalizer(rules=folder)
    lines = generated_lines()
    expected = [normalizer.normalize(line, "NFKD") for line in lines]
    for form in ("NFKC", "nfkc", kavex.Form.NFKC):
        assert normalizer.normalize_all(lines, form) == expected
    assert [normalizer.normalize(line, "NFKC") for line in lines] == expected
    assert [normalizer.is_normalized(line, "NFKC") for line in lines] == \
        [a == b for a, b in zip(expected, lines)]
    assert str(kavex.Form.NFKC) == "NFKC" and kavex.Form("NFKC") is kavex.Form.NFKC
    assert pickle.loads(pickle.dumps(kavex.Form.NFKC)) is kavex.Form.NFKC


LOADED = ("import kavex, sys\n"
          "{calls}\n"
          "n = kavex._default\n"
          "print(' '.join(f for f in ('NFD', 'NFC', 'NFKD', 'NFKC') if n._is_loaded(f)))\n")


@pytest.mark.parametrize("calls, loaded", [
    ("kavex.normalize('x')", "NFC"),
    ("kavex.normalize('\\u0622', 'NFD')", "NFD"),
    ("kavex.normalize_all(iter([]), kavex.Form.NFKD)", "NFKD"),
    ("kavex.normalize('x'); kavex.normalize_all(['x'], 'nfd')", "NFD NFC"),
])
def test_forms_load_on_first_use(calls, loaded):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kavex.__file__)))
    run = subprocess.run([sys.executable, "-c", LOADED.format(calls=calls)], env=env,
                         capture_output=True, text=True, check=True)
    assert run.stdout.split() == loaded.split()


def test_a_normalizer_loads_nothing_until_used(tmp_path):
    normalizer = kavex.Normalizer(rules=copy_rules(tmp_path / "rules"))
    assert not any(normalizer._is_loaded(f) for f in FORMS)
    normalizer.is_normalized("x", "NFKD")
    assert [normalizer._is_loaded(f) for f in FORMS] == [False, False, True]


class Text(str):
    """A str subclass: a str as far as the batch is concerned."""


def batch_cases():
    """(name, texts) of batches, each item a str."""
    changed = ["\u0627\u0653", "\u067e\u0651\u06be", "\ufefb", "\U0001ee00"]
    unchanged = ["", "abc", "\u0622", "caf\xe9", "\U0001f600"]
    long_text = "\u0627\u0653 \u067e\u0651\u06be " * 3000  # without the GIL, in chunks
    return [
        ("mixed", changed + unchanged + changed[::-1]),
        ("empty strings", ["", "", "\u0627\u0653", ""]),
        ("non-BMP", ["\U0001ee00\U0001ee01", "\U0001f600\u0627\u0653", "\U0001ee21" * 50]),
        ("lone surrogates", ["\ud800", "\udfff\u0627\u0653", "\ud800\udc00\u0622",
                             "\ud83b\ude00", "\u0622\udbff"]),
        ("U+0000", ["\x00", "\u0627\x00\u0653", "\u067e\u0651\u06be\x00\u067e\u0651\u06be"]),
        ("subclass", [Text("\u0627\u0653"), Text("abc")]),
        ("long", [long_text, "\u0627\u0653", long_text[:5000]]),
        ("many", (changed + unchanged) * 1000),  # more than a chunk of items
        ("generated", generated_lines()),
    ]


@pytest.mark.parametrize("form", FORMS)
def test_batches(normalizer, form):
    for name, texts in batch_cases():
        expected = [normalizer.normalize(text, form) for text in texts]
        for given in (texts, tuple(texts), (t for t in texts), iter(texts)):
            got = normalizer.normalize_all(given, form)
            assert type(got) is list and got == expected, name
            for text, result in zip(texts, got):
                assert (result is text) == (result == text), (name, text)
                assert type(result) is str or result is text
        assert kavex.normalize_all(texts, form=form) == expected
    # A str subclass that comes back changed is a str.
    assert type(normalizer.normalize_all([Text("\u0627\u0653")], "NFC")[0]) is str


def test_batch_errors(normalizer):
    # A unique str, to count its references: none is kept by a batch that fails.
    kept = "".join(["\u0627\u0653", str(id(normalizer))])
    before = sys.getrefcount(kept)
    for texts, index in ([kept, "x", 5, "y"], 2), ((kept, None), 1), ([b"x"], 0):
        with pytest.raises(TypeError, match=f"item {index} must be str"):
            normalizer.normalize_all(texts)
    many = [kept] * 5000 + [kept.encode()]
    with pytest.raises(TypeError, match="item 5000 must be str, not bytes"):
        normalizer.normalize_all(many)
    del many

    def failing():
        yield kept
        raise KeyError("from the generator")

    with pytest.raises(KeyError, match="from the generator"):
        normalizer.normalize_all(failing())
    with pytest.raises(TypeError, match="iterable of str"):
        normalizer.normalize_all(5)
    # A str is an iterable of one-character strs, which would each be normalized alone.
    with pytest.raises(TypeError, match="not a str: normalize"):
        normalizer.normalize_all("\u0627\u0653")
    assert sys.getrefcount(kept) == before
    results = normalizer.normalize_all([kept, kept], "NFD")  # unchanged: the same object
    assert sys.getrefcount(kept) == before + 2
    del results
    assert sys.getrefcount(kept) == before


def test_batch_of_a_pandas_series(normalizer):
    pandas = pytest.importorskip("pandas")
    texts = ["\u0627\u0653", "abc", "", "\u067e\u0651\u06be"] * 10
    frame = pandas.DataFrame({"text": texts}, index=range(100, 140))
    frame["nfc"] = normalizer.normalize_all(frame["text"])
    assert list(frame["nfc"]) == [normalizer.normalize(t) for t in texts]
    assert normalizer.normalize_all(frame["text"].iloc[::-3]) == \
        [normalizer.normalize(t) for t in texts[::-1][::3]]
    with pytest.raises(TypeError, match="item 1 must be str, not float"):
        normalizer.normalize_all(pandas.Series(["x", None, "y"], dtype=object).fillna(1.5))


def test_batch_holds_its_texts_while_other_threads_run(normalizer):
    # A chunk is normalized without the GIL while other threads run: its texts must stay
    # alive though nothing else holds them (fresh strs from a generator) or the list they
    # came from is emptied meanwhile.
    texts = ["\u0627\u0653 " * 500 + str(i) for i in range(2000)]
    expected = [normalizer.normalize(t) for t in texts]
    stop = threading.Event()

    def churn(shared):
        while not stop.is_set():
            shared.clear()
            shared.extend(str(i) * 300 for i in range(10))

    fresh = (("\u0627\u0653 " * 500) + str(i) for i in range(2000))
    shared = list(texts)
    for source, churned in ((fresh, []), (shared, shared)):
        thread = threading.Thread(target=churn, args=(churned,))
        thread.start()
        try:
            got = normalizer.normalize_all(source)
        finally:
            stop.set()
            thread.join()
            stop.clear()
        if source is fresh:
            assert got == expected
        else:
            # Whatever the list held as it was read, each result is that text's.
            assert all(g == e or g.isdigit() for g, e in zip(got, expected)), len(got)


@pytest.mark.skipif(not REFERENCE, reason="reference_host was not built")
def test_rules_that_change_the_kind_of_str(tmp_path):
    # Results of the direct way that must become another kind of str: all below U+0100,
    # a pair written by a rule, a text gone; a source holding U+0000, which the library
    # never matches, and a replacement holding one (a batch cannot join texts by U+0000
    # under either).
    rules = [("\u0622", "a"), ("\u0623", "\U0001f600"), ("\u0625", ""), ("\u0626", "\xe9"),
             ("x\x00y", "z"), ("\u067e\x00", "p"), ("\u0624", "b\x00c")]
    folder = write_rules(tmp_path / "kinds", rules)
    normalizer = kavex.Normalizer(rules=folder)
    texts = ["\u0622", "\u0622\u0622b", "\u0623", "\u0625", "\u0625\u0625", "\u0626\u0622",
             "x\x00y", "\u067e\x00", "\u0623\ud800", "\ud800\u0623\udc00", "\u0623\U0001f600",
             "\u0622" * 3000, "\u0623\u0622" * 2000, "a\u0626", "\u0624\u0624", "\u0624"]
    expected_units = library(utf16("\n".join(texts)), "NFC", folder)
    got = normalizer.normalize_all(texts)
    singles = [normalizer.normalize(t) for t in texts]
    assert got == singles
    assert utf16("\n".join(got)) == expected_units
    for text, result in zip(texts, singles):
        # The same str as one made from its characters: the same kind, so == and hash agree.
        remade = "".join(list(result))
        assert result == remade and hash(result) == hash(remade), repr(text)
        assert normalizer.is_normalized(text) == (result == text)
    assert normalizer.normalize("\u0623") == "\U0001f600"
    assert normalizer.normalize("\u0622\u0622b") == "aab"


@pytest.mark.skipif(not REFERENCE, reason="reference_host was not built")
def test_results_longer_than_the_room_given(normalizer):
    # One unit that NFKD writes as eighteen, in short and long texts (whose room is a
    # margin only): each is normalized again at its size.
    for text in ("\ufdfa" * 3, "\ufdfa" * 40, "\ufdfa" * 70000, "a" + "\ufdfa" * 70000):
        expected = library(utf16(text), "NFKD")
        assert utf16(normalizer.normalize(text, "NFKD")) == expected
        assert utf16(normalizer.normalize_all([text], "NFKD")[0]) == expected
        assert normalizer.normalize_utf16le(utf16(text), "NFKD") == expected

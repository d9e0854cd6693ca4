"""examples/normalize_corpus.py on a LocalCluster of two worker processes: every output file
equals, byte for byte, the file normalized in this process."""

import os
import random
import subprocess
import sys

import kavex

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("KAVEX_SOURCE_DIR", os.path.join(HERE, "..", ".."))
EXAMPLE = os.path.join(HERE, "..", "examples", "normalize_corpus.py")


def make_corpus(root):
    """The samples, dictionary words in lines (CR LF in one file), a file with bytes that
    are not UTF-8, and a nested folder."""
    files = {}
    samples = os.path.join(SOURCE, "samples")
    for name in sorted(os.listdir(samples)):
        if name.endswith(".txt"):
            with open(os.path.join(samples, name), "rb") as f:
                files[name] = f.read()
    rng = random.Random(3)
    for dic in ("/usr/share/hunspell/ar.dic", "/usr/share/hunspell/fa_IR.dic"):
        if os.path.exists(dic):
            with open(dic, encoding="utf-8") as f:
                words = [line.split("/")[0].strip() for line in f][1:]
            picked = rng.sample(words, 3000)
            lines = [" ".join(picked[i:i + 8]) for i in range(0, len(picked), 8)]
            files[os.path.basename(dic) + ".txt"] = "\n".join(lines).encode()
    files["crlf.txt"] = "\u067e\u0651\u06be\r\n\u0627\u0653\r\n".encode()
    files["invalid.txt"] = b"\xff\xfe" + "\u0627\u0653".encode() + b" \xc3\x28\n"
    files[os.path.join("nested", "presentation.txt")] = "\ufefb\ufdf2\n".encode() * 50
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return files


def test_local_cluster_matches_one_process(tmp_path):
    source = tmp_path / "in"
    target = tmp_path / "out"
    files = make_corpus(source)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kavex.__file__)))
    run = subprocess.run([sys.executable, EXAMPLE, str(source), str(target), "--workers", "2",
                          "--form", "nfkd"], env=env, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert f"{len(files)} files" in run.stdout and "MB/s" in run.stdout

    normalizer = kavex.Normalizer()
    for name, data in files.items():
        text = data.decode("utf-8", "surrogateescape")
        expected = normalizer.normalize(text, "NFKD").encode("utf-8", "surrogateescape")
        assert (target / name).read_bytes() == expected, name
    assert (target / "crlf.txt").read_bytes() == "\u067e\u06be\u0651\r\n\u0627\u0653\r\n".encode()


def test_without_dask_says_where_to_get_it(tmp_path):
    # An interpreter without Dask: the import fails, as in a pyenv or a fresh venv.
    script = ("import runpy, sys\n"
              "sys.modules['dask'] = sys.modules['dask.distributed'] = None\n"
              "sys.argv = [sys.argv[1]] + sys.argv[2:]\n"
              "runpy.run_path(sys.argv[0], run_name='__main__')\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kavex.__file__)))
    run = subprocess.run([sys.executable, "-c", script, EXAMPLE, str(tmp_path), str(tmp_path)],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 2, run.stderr
    assert "Traceback" not in run.stderr
    for advice in ("python3-dask python3-distributed", "/usr/bin/python3", "[dask]"):
        assert advice in run.stderr

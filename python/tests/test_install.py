"""The README's install command, `python3 -m pip install ./python`, with no package index:
the installed package imports from another directory and normalizes with its own rules."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.dirname(HERE)


def test_pip_install_without_an_index(tmp_path):
    target = tmp_path / "site"
    # Debian's interpreter refuses installs outside a virtual environment; --target is
    # a private folder here.
    env = dict(os.environ, PIP_BREAK_SYSTEM_PACKAGES="1", PIP_NO_INDEX="1")
    env.pop("PYTHONPATH", None)
    subprocess.run([sys.executable, "-m", "pip", "install", "--no-deps", "--target",
                    str(target), PACKAGE], env=env, check=True, capture_output=True,
                   timeout=1200)
    installed = sorted(os.listdir(target / "kavex"))
    assert {"__init__.py", "__init__.pyi", "py.typed", "rules"} <= set(installed)
    script = ("import kavex, os, sys\n"
              "assert kavex.__file__.startswith(sys.argv[1]), kavex.__file__\n"
              "assert kavex.normalize('\\u067e\\u0651\\u06be') == '\\u067e\\u06be\\u0651'\n"
              "assert kavex.Normalizer().normalize('\\ufefb', 'NFKD') == '\\u0644\\u0627'\n"
              "assert kavex.normalize_all(['\\u0627\\u0653']) == ['\\u0622']\n")
    subprocess.run([sys.executable, "-c", script, str(target)], cwd=tmp_path,
                   env=dict(env, PYTHONPATH=str(target)), check=True, timeout=60)

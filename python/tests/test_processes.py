"""The package across the life of processes: daemon threads inside kavex while the
interpreter exits, and forks while another thread loads rules. Each case runs in a fresh
interpreter, so a crash or a hang fails the test instead of the test run."""

import os
import shutil
import subprocess
import sys

import kavex

ENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kavex.__file__)))

# Threads in every call that runs without the GIL, looping until the interpreter ends them.
# The main thread exits once each has been round at least once, with output still to flush
# (writing it lets the daemon threads reach for the GIL during finalization).
DAEMONS_AT_EXIT = r"""
import sys, threading, kavex
text = "\u067e\u0651\u06be \u0627\u0653 " * 20000
data = text.encode("utf-16-le")
normalizer = kavex.Normalizer()
kavex.normalize("")
lines = text.split(" ")
works = [lambda: normalizer.normalize(text, "NFD"), lambda: normalizer.is_normalized(text),
         lambda: normalizer.normalize_utf16le(data, "NFKD"), lambda: kavex.normalize(text),
         lambda: normalizer.normalize_all(lines, "NFD"),
         lambda: kavex.Normalizer().normalize("x", "NFKD")]
rounds = [0] * len(works)
def loop(i):
    while True:
        works[i]()
        rounds[i] += 1
for i in range(len(works)):
    threading.Thread(target=loop, args=(i,), daemon=True).start()
while not all(rounds):
    threading.Event().wait(0.01)
sys.stdout.write("x" * 100000)
"""


def test_daemon_threads_inside_kavex_at_exit():
    for run in range(10):
        result = subprocess.run([sys.executable, "-c", DAEMONS_AT_EXIT], env=ENV,
                                capture_output=True, text=True, timeout=300)
        assert "terminate" not in result.stderr, (run, result.stderr)
        assert result.returncode == 0, (run, result.returncode, result.stderr)


# A thread loads rules in a loop, a form at a time (and, at first, the default normalizer's
# NFC) while the main thread forks children and a fork-started pool. Every child must load,
# normalize and be in the parent's directory; a child that hangs is ended by its alarm.
FORK_WHILE_LOADING = r"""
import multiprocessing, os, random, signal, sys, threading, time, kavex
rules, here = sys.argv[1], os.getcwd()
stop = threading.Event()
def load_in_a_loop():
    while not stop.is_set():
        kavex.Normalizer(rules=rules).normalize("x", random.choice(["NFD", "NFC", "NFKD"]))
def child_check(_=None):
    signal.alarm(60)
    assert kavex.Normalizer().normalize("\u0627\u0653") == "\u0622"
    assert kavex.normalize("\u067e\u0651\u06be") == "\u067e\u06be\u0651"
    return os.getcwd()
def forked(rounds):
    for _ in range(rounds):
        time.sleep(random.random() * 0.02)
        pid = os.fork()
        if pid == 0:
            try:
                code = 0 if child_check() == here else 3
            except BaseException:
                code = 4
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, os.waitstatus_to_exitcode(status)
# The first fork comes while another thread creates the default normalizer.
first = threading.Thread(target=kavex.normalize, args=("x",))
first.start()
while not kavex._default_lock.locked() and first.is_alive():
    time.sleep(0.0005)
forked(1)
first.join()
loader = threading.Thread(target=load_in_a_loop)
loader.start()
try:
    forked(8)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        assert pool.map(child_check, range(4), chunksize=1) == [here] * 4
finally:
    stop.set()
    loader.join()
assert os.getcwd() == here
print("ok")
"""


def test_fork_while_another_thread_loads(tmp_path):
    rules = tmp_path / "rules"
    shutil.copytree(kavex.RULES, rules, ignore=shutil.ignore_patterns("profiles"))
    result = subprocess.run([sys.executable, "-c", FORK_WHILE_LOADING, str(rules)], env=ENV,
                            cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0 and result.stdout == "ok\n", result.stderr

"""Normalization of Arabic-script text (Arabic, Urdu, Persian and the rest) into NFD, NFC,
NFKD or NFKC, with the kavex library and its shipped rules.

    >>> import kavex
    >>> kavex.normalize("\u067e\u0651\u06be")            # shadda typed before the heh
    '\u067e\u06be\u0651'
    >>> kavex.normalize_all(["\u0627\u0653", "abc"])
    ['\u0622', 'abc']
    >>> nfd = kavex.Normalizer()
    >>> nfd.is_normalized("\u0622", kavex.Form.NFD)
    False

Loading rules: a `Normalizer` reads the config.ini of its rules folder when it is created,
and each form's rules file the first time the form is used (`import kavex;
kavex.normalize(text)` loads NFC alone). Paths in config.ini are read relative to the
folder; the process's current directory is never changed. A fork waits for a load to end,
so a child process can load at once.
"""

import _thread
import os

from . import _kavex

__all__ = ["Form", "Normalizer", "RulesError", "normalize", "normalize_all", "profiles",
           "RULES"]
__version__ = "1.0.0"

#: The folder of the rules shipped inside the package.
RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rules")

_form_lock = _thread.allocate_lock()


def _make_form():
    # Made on first use: importing enum costs a few milliseconds, which a script that
    # normalizes one line would pay at every start.
    import enum

    class Form(str, enum.Enum):
        """A normalization form. Every function also takes the names as strings, in any
        case."""

        NFD = "NFD"
        NFC = "NFC"
        NFKD = "NFKD"
        NFKC = "NFKC"

        def __str__(self):
            return self.value

    Form.__module__ = __name__
    Form.__qualname__ = "Form"
    return Form


def __getattr__(name):
    if name == "Form":
        global Form
        with _form_lock:
            if "Form" not in globals():
                Form = _make_form()
        return globals()["Form"]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | {"Form"})


class RulesError(OSError):
    """A rules folder could not be loaded.

    A subclass of OSError (its errno and filename are not set). `folder` is the folder
    given; `file` names the file at fault when it can be told (config.ini, or a rules file
    it names), else None.
    """

    def __init__(self, message, folder, file=None):
        super().__init__(message)
        self.folder = folder
        self.file = file


def profiles():
    """The names of the rule profiles shipped with the package (folders of rules/profiles
    holding a config.ini), sorted."""
    root = os.path.join(RULES, "profiles")
    try:
        names = os.listdir(root)
    except OSError:
        return []
    return sorted(n for n in names if os.path.isfile(os.path.join(root, n, "config.ini")))


class Normalizer(_kavex.Core):
    """Normalizes text with one set of rules.

    Normalizer(rules=None, profile=None)

    `rules` is a folder holding a config.ini and the rules files it names; by default the
    rules shipped inside the package. `profile` picks one of the shipped rule profiles
    (`kavex.profiles()` lists them) instead. Raises RulesError when the folder or its
    config.ini cannot be read, ValueError for an unknown profile or a NUL in the path. Each
    form's rules file loads the first time the form is used; a call with a form whose rules
    cannot be loaded (config.ini names none, or the file is missing or not a rules file)
    raises RulesError naming the file.

    A Normalizer may be used by several threads at once. It pickles as its rules folder
    (or as the shipped rules and profile), and loads again where it is unpickled, so
    multiprocessing, concurrent.futures and Dask can send it to their workers; a folder
    given as `rules` must exist at the same path there.

    Methods (the form is "NFD", "NFC", "NFKD" or "NFKC" in any case, or a kavex.Form):
      normalize(text, form="NFC") -> str
          The normalized text, or `text` itself when nothing changed. Any str
          round-trips: characters beyond U+FFFF, lone surrogates and U+0000 included.
          Long texts are normalized without holding the GIL.
      normalize_all(texts, form="NFC") -> list[str]
          Every str of the iterable `texts` (a list, a tuple, a pandas Series, a
          generator) normalized, with the GIL released over the batch. Texts that come
          back unchanged are the same objects; an item that is not a str raises
          TypeError naming its index.
      is_normalized(text, form="NFC") -> bool
          Whether normalize would return the text unchanged.
      normalize_utf16le(data, form="NFC") -> bytes
          The same for UTF-16LE bytes (any bytes-like object of even length, strided
          views included), unit for unit; returns `data` itself when it is bytes and
          nothing changed.
    """

    def __init__(self, rules=None, profile=None):
        if rules is not None and profile is not None:
            raise ValueError("give rules or profile, not both")
        if profile is not None:
            known = profiles()
            if profile not in known:
                raise ValueError(f"unknown profile {profile!r}; known profiles: "
                                 f"{', '.join(known) if known else 'none'}")
            folder = os.path.join(RULES, "profiles", profile)
        elif rules is not None:
            folder = os.path.abspath(os.fspath(rules))
        else:
            folder = RULES
        super().__init__(os.fsencode(folder))
        self._rules = None if rules is None else folder
        self._profile = profile

    @property
    def rules(self):
        """The absolute path of the rules folder in use."""
        if self._rules is not None:
            return self._rules
        if self._profile is not None:
            return os.path.join(RULES, "profiles", self._profile)
        return RULES

    @property
    def profile(self):
        """The shipped profile in use, or None."""
        return self._profile

    def __reduce__(self):
        # The shipped rules travel by name, so a worker uses its own installed copy.
        return (type(self), (self._rules, self._profile))

    def __repr__(self):
        if self._rules is not None:
            return f"kavex.Normalizer(rules={self._rules!r})"
        if self._profile is not None:
            return f"kavex.Normalizer(profile={self._profile!r})"
        return "kavex.Normalizer()"


_default = None
_default_lock = _thread.allocate_lock()


def _after_fork_in_child():
    # A fork made while another thread created the default normalizer (or kavex.Form)
    # leaves the lock taken by a thread the child does not have.
    global _default_lock, _form_lock
    _default_lock = _thread.allocate_lock()
    _form_lock = _thread.allocate_lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def _default_normalizer():
    global _default
    with _default_lock:
        if _default is None:
            _default = Normalizer()
        return _default


_kavex._set_hooks(_default_normalizer, RulesError)

#: normalize(text, form="NFC") -> str: `Normalizer().normalize` with one normalizer of
#: the shipped rules, created on first use.
normalize = _kavex.normalize
#: normalize_all(texts, form="NFC") -> list[str]: `Normalizer().normalize_all` with the
#: same normalizer.
normalize_all = _kavex.normalize_all

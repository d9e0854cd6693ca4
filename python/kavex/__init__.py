"""Normalization of Arabic-script text (Arabic, Urdu, Persian and the rest) into NFD, NFC
or NFKD, with the kavex library and its shipped rules.

    >>> import kavex
    >>> kavex.normalize("\u067e\u0651\u06be")            # shadda typed before the heh
    '\u067e\u06be\u0651'
    >>> nfd = kavex.Normalizer()
    >>> nfd.is_normalized("\u0622", kavex.Form.NFD)
    False

Loading rules: the library reads "config.ini" from the process's current directory, so a
`Normalizer` is created by entering its rules folder for the time of the load (tens of
milliseconds for the shipped rules) and going back to the previous current directory
afterwards, also when the load fails. Loads take turns under a lock, and a fork waits
for a load to end, so a child process starts in the parent's directory with the lock free.
Other threads of the process that use relative paths during a load see the rules folder as
their current directory: create normalizers at start-up (or let `normalize` create its
default one early) when other threads depend on the current directory.
"""

import enum
import os
import threading

from . import _kavex

__all__ = ["Form", "Normalizer", "RulesError", "normalize", "profiles", "RULES"]
__version__ = "1.0.0"

#: The folder of the rules shipped inside the package.
RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rules")


class Form(str, enum.Enum):
    """A normalization form. Every function also takes the names as strings, in any case."""

    NFD = "NFD"
    NFC = "NFC"
    NFKD = "NFKD"

    def __str__(self):
        return self.value


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
    (`kavex.profiles()` lists them) instead. Raises RulesError when the folder cannot be
    loaded, ValueError for an unknown profile or a NUL in the path.

    A Normalizer may be used by several threads at once. It pickles as its rules folder
    (or as the shipped rules and profile), and loads again where it is unpickled, so
    multiprocessing, concurrent.futures and Dask can send it to their workers; a folder
    given as `rules` must exist at the same path there.

    Methods (the form is "NFD", "NFC" or "NFKD" in any case, or a kavex.Form):
      normalize(text, form="NFC") -> str
          The normalized text, or `text` itself when nothing changed. Any str
          round-trips: characters beyond U+FFFF, lone surrogates and U+0000 included.
          Long texts are normalized without holding the GIL.
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
        try:
            super().__init__(os.fsencode(folder))
        except _kavex.LoadFailed as error:
            # The module tells what failed, from the library's own reading of the folder.
            detail, name = error.args
            file = None if name is None else os.fsdecode(
                os.path.join(os.fsencode(folder), name))
            raise RulesError(f"cannot load rules from {folder!r}: {os.fsdecode(detail)}",
                             folder, file) from None
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
_default_lock = threading.Lock()


def _after_fork_in_child():
    # A fork made while another thread created the default normalizer leaves this lock
    # taken by a thread the child does not have.
    global _default_lock
    _default_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def _default_normalizer():
    global _default
    with _default_lock:
        if _default is None:
            _default = Normalizer()
        return _default


_kavex._set_default_factory(_default_normalizer)

#: normalize(text, form="NFC") -> str: `Normalizer().normalize` with one normalizer of
#: the shipped rules, created on first use.
normalize = _kavex.normalize

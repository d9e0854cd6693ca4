#!/usr/bin/env python3
"""Writes the kavex rules files NFD.txt, NFC.txt, NFKD.txt and NFKC.txt from the Unicode
Character Database (UnicodeData.txt and DerivedNormalizationProps.txt), and those of every
language profile from its fold table rules/profiles/NAME/fold.kvr.

    python3 tools/generate_rules.py [--ucd /usr/share/unicode] [--out rules] [--stats]
                                    [--verify] [--only default|NAME ...]

A profile's file for form F gives F(fold(G(text))), G being NFC for the NFD and NFC files
and NFKC for the NFKD and NFKC files, where fold applies the table with the engine's own
semantics.
It is made exactly as the default rules are, with that composition as the reference.

The engine rewrites text in one left-to-right pass: at the leftmost position where some
rule source occurs, the first listed rule among those occurring there is applied, and its
replacement is never searched again. So a rule chosen at a position must already produce
the final text for everything it covers, whatever follows. The generator therefore works
on combining sequences (a starter that changes under the form, or nothing, followed by a
run of marks): it walks them from short to long, runs a model of the engine on each with
the rules found so far and, where the result differs from the reference normalization
below, adds the whole sequence as a rule. Rules are written longest source first, so
among the sources that start at one position the longest one that occurs wins.

Runs of up to two marks (after decomposition) are covered for every mark of the Arabic
blocks; runs of three only for the marks of the Arabic block, where real text puts them,
and under NFKD and NFKC after a presentation form for fewer still: a full cover would need
hundreds of thousands of rules, and a file holds at most 65,535. A profile covers runs of
three of the harakat (PRESENTATION_CORE_MARKS), and after a tatweel that it keeps also those
with one other mark of the Arabic block. The blocks that Arabic-script text mixes in (Latin-1, Latin
Extended-A, punctuation, letterlike and number symbols, the Latin ligatures) carry one
accent per letter: a run of marks that holds a mark from outside the Arabic blocks comes
from one character, the letter's own decomposition or one combining mark after a letter.
"""

import argparse
import itertools
import os
import sys

# Blocks in scope. The Arabic Mathematical Alphabetic Symbols only change under NFKD.
SCOPE = [
    (0x0600, 0x06FF),  # Arabic
    (0x0750, 0x077F),  # Arabic Supplement
    (0x0870, 0x089F),  # Arabic Extended-B
    (0x08A0, 0x08FF),  # Arabic Extended-A
    (0xFB50, 0xFDFF),  # Arabic Presentation Forms-A
    (0xFE70, 0xFEFF),  # Arabic Presentation Forms-B
    (0x1EE00, 0x1EEFF),  # Arabic Mathematical Alphabetic Symbols
]

# Blocks that Arabic-script text mixes in: names in Latin letters, punctuation, spaces and
# symbols. Their marks, and those of the Combining Diacritical Marks (ACCENTS), are
# "accents": a run of marks that holds one comes from one character (FormRules.accents).
MIXED_SCOPE = [
    (0x0080, 0x00FF),  # Latin-1 Supplement
    (0x0100, 0x017F),  # Latin Extended-A
    (0x2000, 0x206F),  # General Punctuation
    (0x2070, 0x209F),  # Superscripts and Subscripts
    (0x20A0, 0x20CF),  # Currency Symbols (the rupee sign)
    (0x2100, 0x214F),  # Letterlike Symbols
    (0x2150, 0x218F),  # Number Forms
    (0xFB00, 0xFB4F),  # Alphabetic Presentation Forms
]
ACCENTS = (0x0300, 0x036F)  # Combining Diacritical Marks

# Marks whose runs of three are covered: every mark of the Arabic block, Quranic
# annotation included. A run that begins with the marks of a presentation form's
# compatibility decomposition is covered only for the harakat, maddah, the hamzas,
# subscript alef, inverted damma, noon ghunna and superscript alef: the 44 presentation
# forms that end in a mark would each take about a thousand rules more, past the 65,535 a
# file can hold.
CORE_MARKS = range(0x0600, 0x0700)
PRESENTATION_CORE_MARKS = list(range(0x064B, 0x0659)) + [0x0670]
PRESENTATION_FORMS = [(0xFB50, 0xFDFF), (0xFE70, 0xFEFF)]

# A profile whose fold keeps a tatweel that carries a mark (urdu, persian) keeps it by a
# rule that takes the first mark along, and that mark is never sorted with the marks after
# it: each run behind a kept tatweel whose first mark does not sort first needs a rule of
# its own. Such runs of three are covered for the harakat and, since vowelled Quranic text
# sets its small letters and signs on a tatweel, for two harakat with one other mark of
# the Arabic block (TATWEEL_RUN_MARKS); all three from the Arabic block would take some
# 67,000 rules more, past what a file holds. Under NFKD and NFKC the same holds after the
# presentation forms of tatweel with a haraka (U+FE71, U+FE77 ... U+FE7F), which the other
# presentation forms do not get.
TATWEEL = 0x0640
TATWEEL_RUN_MARKS = CORE_MARKS

FORMS = ("NFD", "NFC", "NFKD", "NFKC")
COMPATIBILITY_FORMS = ("NFKD", "NFKC")
MAX_RUN = 3
COLON, CR = 0x003A, 0x000D


def in_scope(cp):
    return any(low <= cp <= high for low, high in SCOPE)


def in_mixed_scope(cp):
    return any(low <= cp <= high for low, high in MIXED_SCOPE)


def is_accent_character(cp):
    """A character that may stand as the one accent after a letter of the mixed scope."""
    return ACCENTS[0] <= cp <= ACCENTS[1] or in_mixed_scope(cp)


def is_presentation_form(cp):
    return any(low <= cp <= high for low, high in PRESENTATION_FORMS)


class Ucd:
    """The parts of the character database that normalization needs."""

    def __init__(self, folder):
        self.ccc = {}
        self.canonical = {}
        self.compat = {}
        self.names = {}
        with open(os.path.join(folder, "UnicodeData.txt"), encoding="utf-8") as data:
            for line in data:
                fields = line.split(";")
                cp = int(fields[0], 16)
                self.names[cp] = fields[1]
                if int(fields[3]):
                    self.ccc[cp] = int(fields[3])
                if fields[5]:
                    parts = fields[5].split()
                    mapping = [int(p, 16) for p in parts if not p.startswith("<")]
                    self.compat[cp] = mapping
                    if not parts[0].startswith("<"):
                        self.canonical[cp] = mapping
        excluded = set()
        path = os.path.join(folder, "DerivedNormalizationProps.txt")
        with open(path, encoding="utf-8") as props:
            for line in props:
                fields = [f.strip() for f in line.split("#")[0].split(";")]
                if len(fields) < 2 or fields[1] != "Full_Composition_Exclusion":
                    continue
                low, _, high = fields[0].partition("..")
                excluded.update(range(int(low, 16), int(high or low, 16) + 1))
        self.compose_pairs = {
            tuple(m): cp for cp, m in self.canonical.items() if len(m) == 2 and cp not in excluded
        }
        self.bases = {pair[0] for pair in self.compose_pairs}
        self.version = self._version(folder)
        self._full = {False: {}, True: {}}

    @staticmethod
    def _version(folder):
        with open(os.path.join(folder, "DerivedNormalizationProps.txt"), encoding="utf-8") as f:
            first = f.readline().strip()
        # "# DerivedNormalizationProps-15.0.0.txt"
        return first.rsplit("-", 1)[-1].replace(".txt", "") if "-" in first else "unknown"

    def decompose(self, cp, compat):
        cache = self._full[compat]
        if cp not in cache:
            table = self.compat if compat else self.canonical
            if cp in table:
                cache[cp] = [u for part in table[cp] for u in self.decompose(part, compat)]
            else:
                cache[cp] = [cp]
        return cache[cp]

    def normalize(self, form, text):
        compat = form in ("NFKD", "NFKC")
        units = [u for cp in text for u in self.decompose(cp, compat)]
        # Canonical ordering: a stable sort of every run of marks by combining class.
        i = 0
        while i < len(units):
            if self.ccc.get(units[i], 0) == 0:
                i += 1
                continue
            j = i
            while j < len(units) and self.ccc.get(units[j], 0):
                j += 1
            units[i:j] = sorted(units[i:j], key=lambda u: self.ccc[u])
            i = j
        if form in ("NFC", "NFKC"):
            units = self._compose(units)
        return tuple(units)

    def _compose(self, units):
        out = []
        starter = -1
        last = None  # class of the last unit kept after the starter; None: nothing between
        for u in units:
            cls = self.ccc.get(u, 0)
            if starter >= 0 and (last is None or last < cls):
                composite = self.compose_pairs.get((out[starter], u))
                if composite is not None:
                    out[starter] = composite
                    continue
            if cls == 0:
                starter = len(out)
                last = None
            else:
                last = cls
            out.append(u)
        return out


def run_engine(rules, text, longest):
    """The engine's pass over `text` (a tuple of code points) with `rules`, a dict from
    source to (index, replacement). Matching is over code points, which is the same as
    over code units here: no source begins with a low surrogate."""
    out = []
    start = 0
    n = len(text)
    while start < n:
        for p in range(start, n):
            best = None
            for q in range(p + 1, min(n, p + longest) + 1):
                rule = rules.get(text[p:q])
                if rule is not None and (best is None or rule[0] < best[0]):
                    best = rule
                    best_end = q
            if best is not None:
                out.extend(text[start:p])
                out.extend(best[1])
                start = best_end
                break
        else:
            out.extend(text[start:])
            break
    return tuple(out)


class Profile:
    """A language profile: a fold table applied between two normalizations."""

    def __init__(self, name, path):
        self.name = name
        self.fold = parse_kvr(path)
        self.table = {}
        for index, (source, replacement) in enumerate(self.fold):
            if not source:
                raise SystemExit(f"{path}: rule {index + 1} has an empty source")
            if source in self.table:
                # The engine would never find one of the two; a table says what it means.
                raise SystemExit(f"{path}: rule {index + 1} repeats a source")
            self.table[source] = (index, replacement)
        self.longest = max(len(source) for source, _ in self.fold)
        # Characters outside the scope that the table mentions (space, ZWNJ) join the
        # profile's alphabet.
        self.extra = {cp for pair in self.fold for cp in pair[0] + pair[1] if not in_scope(cp)}

    def apply(self, text):
        return run_engine(self.table, tuple(text), self.longest)


def parse_kvr(path):
    """Rules of a readable source: `SRC -> REPL` per line, tokens U+XXXX or literal
    characters separated by blanks, `#` comments at line start or after a blank."""
    rules = []
    with open(path, encoding="utf-8") as source:
        for number, line in enumerate(source, 1):
            line = line.rstrip("\r\n")
            tokens = []
            for token in line.split():
                if token.startswith("#"):
                    break
                tokens.append(token)
            if not tokens:
                continue
            if tokens.count("->") != 1:
                raise SystemExit(f"{path}:{number}: expected one '->'")
            arrow = tokens.index("->")

            def side(parts):
                cps = []
                for part in parts:
                    if part.startswith("U+") and 4 <= len(part) - 2 <= 6:
                        try:
                            cps.append(int(part[2:], 16))
                            continue
                        except ValueError:
                            pass
                    cps += [ord(c) for c in part]
                return tuple(cps)

            rules.append((side(tokens[:arrow]), side(tokens[arrow + 1:])))
    return rules


class FormRules:
    """The rule set of one normalization form, or of one form of a profile."""

    def __init__(self, ucd, form, profile=None):
        self.ucd = ucd
        self.form = form
        self.profile = profile
        self.compat = compat = form in COMPATIBILITY_FORMS
        scope = {cp for cp in ucd.names if in_scope(cp)}
        if profile:
            scope |= profile.extra
        scope = sorted(scope)
        self.marks = [cp for cp in scope if ucd.ccc.get(cp, 0)]
        for mark in self.marks:
            # Every mark of the scope is its own decomposition; runs are counted on that.
            assert ucd.decompose(mark, compat) == [mark], hex(mark)
        # The combining marks that stand as a letter's one accent, walked one at a time.
        self.accents = [cp for cp in sorted(ucd.names)
                        if ucd.ccc.get(cp, 0) and is_accent_character(cp)]
        # A profile folds runs of marks that the default rules only sort, and a tatweel
        # that keeps its mark duplicates every rule of a run: its runs of three are covered
        # for the marks covered after presentation forms, everywhere.
        core = PRESENTATION_CORE_MARKS if profile else CORE_MARKS
        self.core = [m for m in self.marks if m in core]
        self.core_set = set(self.core)
        # After a presentation form (under compatibility decomposition) fewer runs of three
        # are covered: the default rules cover those of PRESENTATION_CORE_MARKS, a profile
        # none, since with the fold every form ending in a letter that composes would take
        # hundreds.
        self.presentation_core = self.core
        if compat:
            self.presentation_core = [] if profile else [
                m for m in self.core if m in PRESENTATION_CORE_MARKS]
        self.presentation_core_set = set(self.presentation_core)
        # A tatweel the fold deletes hands its marks to the letter before: no wider cover.
        # Under compatibility decomposition the presentation forms of tatweel with a haraka
        # are kept tatweels too.
        self.tatweel_marks = None
        self.kept_tatweels = set()
        if profile and any(profile.apply((TATWEEL, m))[:1] == (TATWEEL,) for m in self.marks):
            self.tatweel_marks = [m for m in self.marks if m in TATWEEL_RUN_MARKS]
            self.kept_tatweels = {cp for cp in scope if not ucd.ccc.get(cp, 0)
                                  and ucd.decompose(cp, compat)[0] == TATWEEL}
        self.rules = {}
        self.order = []
        # Starters whose result changes, and those that also interact with marks that follow
        # (trailing marks in the decomposition, a last starter that composes, the first
        # unit of a fold source of several units), with their trailing marks.
        self.changing = []
        self.open = {}
        # Letters of the mixed scope and ASCII whose last starter composes with an accent:
        # each is walked with every accent after it, and with nothing more.
        self.accent_open = []
        # Fold sources that span starters, walked as sequences of their own.
        self.spanning = []
        composes = form in ("NFC", "NFKC") or profile is not None
        fold_starts = set()
        if profile:
            for source, _ in profile.fold:
                starters = [cp for cp in source if not ucd.ccc.get(cp, 0)]
                if len(source) > 1:
                    fold_starts.add(source[0])
                if len(starters) > 1:
                    self.spanning.append(source)
        # First and last starter of a decomposition without trailing marks -> characters,
        # for fold sources that span starters.
        starts, ends = {}, {}
        for cp in scope:
            if ucd.ccc.get(cp, 0):
                continue
            decomposition = ucd.decompose(cp, compat)
            assert ucd.ccc.get(decomposition[0], 0) == 0, hex(cp)
            trailing = 0
            while ucd.ccc.get(decomposition[-1 - trailing], 0):
                trailing += 1
            marks = tuple(decomposition[len(decomposition) - trailing:])
            # The accents of the mixed blocks never end a decomposition in the Arabic blocks.
            assert all(in_scope(m) for m in marks), hex(cp)
            starts.setdefault(decomposition[0], []).append((cp, marks, False))
            if self.reference((cp,)) != (cp,):
                self.changing.append(cp)
            last_starter = decomposition[-1 - trailing]
            if (trailing or (composes and decomposition[-1] in ucd.bases)
                    or last_starter in fold_starts):
                self.open[(cp,)] = marks
            elif profile and self._folds_into_open(cp):
                self.open[(cp,)] = ()
        # Under NFKC a presentation form or a mathematical letter whose decomposition ends in
        # a letter that composes (alef, waw, yeh ...) takes a mark that composes with that
        # letter only alone: a mark of lower class before it would take a rule for every
        # such form and mark, over ten thousand states in all. Runs without such a mark need
        # no rule of the form's own and are covered as after any presentation form.
        self.composing_forms = {}
        if form == "NFKC" and not profile:
            for prefix, marks in self.open.items():
                cp = prefix[0]
                if len(prefix) == 1 and not marks and (is_presentation_form(cp) or cp >= 0x10000):
                    letter = ucd.decompose(cp, compat)[-1]
                    self.composing_forms[cp] = {m for (base, m) in ucd.compose_pairs
                                                if base == letter}
        in_arabic_scope = set(scope)
        for cp in sorted(ucd.names):
            if (cp in in_arabic_scope or ucd.ccc.get(cp, 0)
                    or not (cp < 0x80 or in_mixed_scope(cp))):
                continue
            decomposition = ucd.decompose(cp, compat)
            if self.reference((cp,)) != (cp,):
                self.changing.append(cp)
            if ucd.ccc.get(decomposition[-1], 0):
                continue  # the letter carries its one accent already
            starts.setdefault(decomposition[0], []).append((cp, (), True))
            ends.setdefault(decomposition[-1], []).append(cp)
            if composes and decomposition[-1] in ucd.bases:
                self.accent_open.append((cp,))
        # A fold source of two starters also occurs where one of them comes from a
        # decomposition (space from an isolated haraka or a no-break space); such a pair is
        # walked like an open starter, with the marks that follow, or alone where the
        # decomposition is a letter of the mixed scope.
        spanning = []
        for source in self.spanning:
            spanning.append(source)
            if len(source) != 2:
                continue
            for cp, marks, mixed in starts.get(source[1], []):
                if cp != source[1]:
                    spanning.append((source[0], cp))
                if not mixed:
                    self.open[(source[0], cp)] = marks
            spanning += [(cp, source[1]) for cp in ends.get(source[0], []) if cp != source[0]]
        self.spanning = spanning

    def _folds_into_open(self, cp):
        """Whether the fold turns a starter into text that a following mark can reach."""
        result = self.reference((cp,))
        if not result:
            return True
        last = self.ucd.decompose(result[-1], self.compat)[-1]
        return last in self.ucd.bases or bool(self.ucd.ccc.get(last, 0))

    def reference(self, seq):
        """The text a sequence must become."""
        if self.profile is None:
            return self.ucd.normalize(self.form, seq)
        before = "NFKC" if self.compat else "NFC"
        folded = self.profile.apply(self.ucd.normalize(before, seq))
        return self.ucd.normalize(self.form, folded)

    def core_after(self, cp):
        """The marks whose runs of three are covered after starter cp (None: alone)."""
        if cp is not None and is_presentation_form(cp):
            return self.presentation_core
        return self.core

    def run_marks_after(self, cp):
        """The marks that may appear in a covered run of three after starter cp."""
        return self.tatweel_marks if cp in self.kept_tatweels else self.core_after(cp)

    def covered(self, run, cp=None):
        """Whether a run of marks (after decomposition) lies in the target; cp is the
        character that gave the starter before it."""
        composing = self.composing_forms.get(cp)
        if composing and any(m in composing for m in run):
            return len(run) == 1
        if len(run) < MAX_RUN:
            return True
        if len(run) > MAX_RUN:
            return False
        if cp in self.kept_tatweels:
            outside = [m for m in run if m not in self.core_set]
            return len(outside) <= 1 and all(m in TATWEEL_RUN_MARKS for m in outside)
        core = self.core_after(cp)
        return all(m in core for m in run)

    def sequences(self):
        """Combining sequences to check, grouped by length, shortest first."""
        by_length = {}

        def add(seq):
            by_length.setdefault(len(seq), []).append(seq)

        for cp in self.changing:
            add((cp,))
        for mark in self.marks + self.accents:
            if self.reference((mark,)) != (mark,):
                add((mark,))
        for source in self.spanning:
            add(source)
        for length in range(2, MAX_RUN + 1):
            pool = self.marks if length < MAX_RUN else self.core
            for run in itertools.product(pool, repeat=length):
                add(run)
        # A mark "reaches" a prefix without trailing marks when the two together give
        # other text than each alone (it composes with its letter, or a fold row spans
        # them). A run none of whose marks reaches the prefix gives the prefix's text
        # followed by the run's, as the rules of each alone already do: such runs are not
        # walked. This holds while no fold source of several units starts with a mark or
        # spans more than two units, which would join marks that reach only together.
        prunable = self.profile is None or all(
            len(source) <= 2 and not self.ucd.ccc.get(source[0], 0)
            for source, _ in self.profile.fold if len(source) > 1)
        for prefix, trailing in self.open.items():
            cp = prefix[-1]
            # Runs after a composing form that hold no mark composing with its letter take
            # the rules of the run alone.
            longest = 1 if cp in self.composing_forms else MAX_RUN - len(trailing)
            reaching = None
            if prunable and not trailing:
                alone = self.reference(prefix)
                reaching = {m for m in self.marks
                            if self.reference(prefix + (m,)) != alone + self.reference((m,))}
            for length in range(1, longest + 1):
                pool = self.marks if len(trailing) + length < MAX_RUN else self.run_marks_after(cp)
                for run in itertools.product(pool, repeat=length):
                    if length > 1 and reaching is not None and reaching.isdisjoint(run):
                        continue
                    if self.covered(tuple(trailing) + run, cp):
                        add(prefix + run)
        for prefix in self.accent_open:
            for accent in self.accents:
                add(prefix + (accent,))
        return [sorted(set(by_length[k])) for k in sorted(by_length)]

    def generate(self):
        longest = 1
        for group in self.sequences():
            longest = max(longest, len(group[0]))
            additions = []
            for seq in group:
                expected = self.reference(seq)
                if run_engine(self.rules, seq, longest) != expected:
                    additions.append((seq, expected))
            # Sequences of one length never contain one another, so their rules can be
            # added together; longer sources get lower indices in the written order.
            for seq, expected in additions:
                self.rules[seq] = (-len(seq), expected)
        self.order = sorted(self.rules, key=lambda s: (-len(s), s))
        self.rules = {s: (i, self.rules[s][1]) for i, s in enumerate(self.order)}

    def unit_rules(self):
        """(source, replacement) pairs as UTF-16 code units, in file order."""
        return [(utf16(s), utf16(self.rules[s][1])) for s in self.order]


def utf16(cps):
    units = []
    for cp in cps:
        if cp >= 0x10000:
            cp -= 0x10000
            units += [0xD800 + (cp >> 10), 0xDC00 + (cp & 0x3FF)]
        else:
            units.append(cp)
    return units


def file_bytes(unit_rules):
    units = [0xFEFF]
    for source, replacement in unit_rules:
        for unit in source + replacement:
            # The format has no escapes: these two units cannot appear inside a rule.
            assert unit not in (COLON, CR), hex(unit)
        units += source + [COLON] + replacement + [CR, 0x000A]
    return b"".join(u.to_bytes(2, "little") for u in units)


def matcher_size(unit_rules):
    """States, alphabet size and bytes of the matcher that the engine builds: every state
    with a row, and the rows actually written (only states with a transition)."""
    alphabet = {}
    trie = {(): 0}
    inner = set()
    for source, _ in unit_rules:
        for unit in source:
            alphabet.setdefault(unit, len(alphabet))
        for k in range(1, len(source) + 1):
            trie.setdefault(tuple(source[:k]), len(trie))
            inner.add(tuple(source[:k - 1]))
    pages = {unit >> 8 for unit in alphabet}
    memory = len(trie) * len(alphabet) * 2 + len(pages) * 512
    written = len(inner) * len(alphabet) * 2 + len(pages) * 512
    return len(trie), len(alphabet), memory, written


# The marks of the built-in U+06BE reordering: a U+06BE right after one of them is moved,
# which Unicode does not do, so such text lies outside the target. The engine's list is
# kHehMarks in src/engine/Marks.h; tests/rules_profiles_test.cpp checks that this one is
# the same, so keep it one literal list.
HEH = 0x06BE
HEH_MARKS = frozenset([
    0x0610, 0x0611, 0x0612, 0x0613, 0x0614, 0x0615, 0x064B, 0x064E, 0x064F,
    0x0650, 0x0651, 0x0652, 0x0653, 0x0654, 0x0656, 0x0657, 0x0658, 0x0670,
])


def decode(units):
    """Code points of UTF-16 units; a lone surrogate stands for itself."""
    cps = []
    i = 0
    while i < len(units):
        u = units[i]
        if 0xD800 <= u < 0xDC00 and i + 1 < len(units) and 0xDC00 <= units[i + 1] < 0xE000:
            cps.append(0x10000 + ((u - 0xD800) << 10) + units[i + 1] - 0xDC00)
            i += 2
        else:
            cps.append(u)
            i += 1
    return cps


class Verifier:
    """Runs the model of the engine with the written rules against the reference
    normalization, on the text the target promises: exhaustively over short strings and on
    seeded random longer ones."""

    def __init__(self, ucd, form_rules):
        self.ucd = ucd
        self.rules = form_rules
        self.form = form_rules.form
        self.compat = form_rules.compat
        unit_rules = form_rules.unit_rules()
        self.table = {tuple(s): (i, tuple(r)) for i, (s, r) in enumerate(unit_rules)}
        self.longest = max(len(s) for s, _ in unit_rules)
        self.checked = 0
        self.failures = []

    def in_target(self, units):
        for i in range(1, len(units)):
            if units[i] == HEH and units[i - 1] in HEH_MARKS:
                return False
        profile = self.rules.profile
        cps = decode(units)
        # Decomposed units, each with the index of the character that gave it; a sentinel
        # starter ends the last run.
        flat = [(d, index) for index, cp in enumerate(cps)
                for d in self.ucd.decompose(cp, self.compat)] + [(0, None)]
        run = []
        characters = set()  # the characters that gave the marks of the run
        starter = None  # the character that gave the last starter, if any
        deleted = False  # whether a profile deletes that starter with the mark after it
        for k, (unit, index) in enumerate(flat):
            if self.ucd.ccc.get(unit, 0):
                if deleted and profile.apply((unit,)):
                    return False
                run.append(unit)
                characters.add(index)
                continue
            if run and not self.rules.covered(tuple(run), starter):
                return False
            if len(characters) > 1 and any(not in_scope(m) for m in run):
                return False  # an accent shares its run with another character's mark
            run = []
            characters = set()
            starter = None if index is None else cps[index]
            following = flat[k + 1][0] if k + 1 < len(flat) else 0
            deleted = bool(profile) and bool(self.ucd.ccc.get(following, 0)) and (
                profile.apply((unit, following)) == profile.apply((following,)))
        return True

    def check(self, units):
        if not self.in_target(units):
            return
        self.checked += 1
        expected = tuple(utf16(self.rules.reference(tuple(decode(units)))))
        got = run_engine(self.table, tuple(units), self.longest)
        if got != expected and len(self.failures) < 20:
            self.failures.append((units, got, expected))

    def letters(self):
        """The starters that the rules treat specially, a few that only change alone, U+06BE,
        a plain letter and ASCII."""
        opened = {prefix[0] for prefix in self.rules.open if len(prefix) == 1}
        picked = sorted(opened)
        simple = [cp for cp in self.rules.changing if cp not in opened]
        picked += simple[:3] + simple[-3:]
        units = [u for cp in picked for u in utf16([cp])]
        return sorted(set(units)) + [HEH, 0x0628, 0x0061]

    def run(self, seed):
        import random

        letters = self.letters()
        marks = self.rules.marks
        alphabet = letters + marks
        for length in range(1, 4):
            for text in itertools.product(alphabet, repeat=length):
                self.check(text)
        # One mark per combining class, the composing marks among them.
        classes = {}
        for mark in self.rules.core:
            classes.setdefault(self.ucd.ccc[mark], mark)
        reduced_marks = sorted(set(classes.values()) | ({0x0653, 0x0654, 0x0655} & set(self.rules.core)))
        reduced = [u for u in letters if (u,) in self.rules.open and u < 0x0700]
        reduced += [u for u in letters if 0xFE70 <= u <= 0xFE7F][:2] + [HEH, 0x0628]
        for text in itertools.product(reduced + reduced_marks, repeat=4):
            self.check(text)
        # The mixed scope: every letter that takes an accent or changes, with every accent,
        # before and after an Arabic letter with a haraka.
        mixed = sorted({prefix[0] for prefix in self.rules.accent_open}
                       | {cp for cp in self.rules.changing if cp < 0x0600 or cp >= 0x2000})
        mixed = [cp for cp in mixed if not in_scope(cp)]
        for cp in mixed:
            for accent in [None] + self.rules.accents:
                for before, after in (((), ()), ((0x0628, 0x064E), ()), ((), (0x0628, 0x0651))):
                    text = before + (cp,) + ((accent,) if accent else ()) + after
                    self.check(utf16(text))
        rng = random.Random(seed)
        scope = [cp for cp in sorted(self.ucd.names) if in_scope(cp) or in_mixed_scope(cp)]
        starters = [cp for cp in scope if not self.ucd.ccc.get(cp, 0)] + [0x61, 0x20]
        for _ in range(20000):
            text = []
            for _ in range(rng.randint(1, 6)):
                text.append(rng.choice(starters))
                if rng.random() < 0.1:
                    text.append(rng.choice(self.rules.accents))
                    continue
                pool = self.rules.core if rng.random() < 0.7 else marks
                text += [rng.choice(pool) for _ in range(rng.randint(0, 3))]
            self.check(utf16(text))
        return not self.failures


def profile_names(folder):
    if not os.path.isdir(folder):
        return []
    return sorted(n for n in os.listdir(folder)
                  if os.path.isfile(os.path.join(folder, n, "fold.kvr")))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    rules_folder = os.path.join(here, "..", "rules")
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ucd", default="/usr/share/unicode", help="character database folder")
    parser.add_argument("--out", default=rules_folder, help="output folder")
    parser.add_argument("--profiles", default=os.path.join(rules_folder, "profiles"),
                        help="folder of the profiles' fold tables")
    parser.add_argument("--only", action="append", metavar="default|NAME",
                        help="write only the default rules or one profile (repeatable)")
    parser.add_argument("--stats", action="store_true", help="print sizes per form")
    parser.add_argument("--verify", action="store_true",
                        help="check the rules with a model of the engine (takes minutes)")
    args = parser.parse_args()

    names = profile_names(args.profiles)
    targets = args.only or ["default"] + names
    for target in targets:
        if target != "default" and target not in names:
            parser.error(f"no profile {target!r} in {args.profiles} (known: {', '.join(names)})")

    ucd = Ucd(args.ucd)
    if args.stats:
        print(f"Unicode {ucd.version}")
    failed = False
    for target in targets:
        profile = None
        out_folder = args.out
        if target != "default":
            profile = Profile(target, os.path.join(args.profiles, target, "fold.kvr"))
            out_folder = os.path.join(args.out, "profiles", target)
        os.makedirs(out_folder, exist_ok=True)
        for form in FORMS:
            rules = FormRules(ucd, form, profile)
            rules.generate()
            unit_rules = rules.unit_rules()
            with open(os.path.join(out_folder, form + ".txt"), "wb") as out:
                out.write(file_bytes(unit_rules))
            label = form if profile is None else f"{target}/{form}"
            if args.stats:
                states, alphabet, memory, written = matcher_size(unit_rules)
                print(f"{label}: {len(unit_rules)} rules, {states} states, alphabet {alphabet}, "
                      f"matcher {memory} bytes ({memory / 2**20:.1f} MiB), rows written "
                      f"{written} bytes ({written / 2**20:.1f} MiB)")
            if args.verify:
                verifier = Verifier(ucd, rules)
                ok = verifier.run(seed=20240)
                print(f"{label}: {verifier.checked} texts checked, "
                      f"{'all agree' if ok else 'FAILURES'}")
                for units, got, expected in verifier.failures:
                    show = lambda u: " ".join(f"{x:04X}" for x in u)
                    print(f"  {show(units)}: got {show(got)}, expected {show(expected)}")
                failed = failed or not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

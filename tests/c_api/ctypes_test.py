"""libkavex_c through Python's ctypes alone, as any FFI reaches it: the samples in every form
and both encodings give their expected files, and failures come back as statuses with
messages.

    python3 ctypes_test.py LIBRARY SOURCE_DIR
"""
import ctypes
import os
import sys
import tempfile
import unittest

LIBRARY, SOURCE = sys.argv[1], sys.argv[2]
RULES = os.path.join(SOURCE, "rules")
SAMPLES = os.path.join(SOURCE, "samples")

OK, BUFFER_TOO_SMALL, INVALID_UTF8, CONFIG_ERROR = 0, 1, 3, 6
FORMS = {"nfd": 0, "nfc": 1, "nfkd": 2}

size_t = ctypes.c_size_t
handle = ctypes.c_void_p
kavex = ctypes.CDLL(LIBRARY)
kavex.kavex_version.restype = ctypes.c_char_p
kavex.kavex_version.argtypes = []
kavex.kavex_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(handle), ctypes.c_char_p, size_t]
kavex.kavex_close.argtypes = [handle]
kavex.kavex_close.restype = None
kavex.kavex_normalize_utf8.argtypes = [handle, ctypes.c_int, ctypes.c_char_p, size_t,
                                       ctypes.c_char_p, size_t, ctypes.POINTER(size_t)]
kavex.kavex_normalize_utf16.argtypes = [handle, ctypes.c_int, ctypes.POINTER(ctypes.c_uint16),
                                        size_t, ctypes.POINTER(ctypes.c_uint16), size_t,
                                        ctypes.POINTER(size_t)]
kavex.kavex_is_normalized_utf8.argtypes = [handle, ctypes.c_int, ctypes.c_char_p, size_t,
                                           ctypes.POINTER(ctypes.c_int), ctypes.POINTER(size_t)]
kavex.kavex_message.argtypes = [handle, ctypes.c_char_p, size_t]
kavex.kavex_message.restype = size_t


def open_rules(folder):
    rules, message = handle(), ctypes.create_string_buffer(1024)
    status = kavex.kavex_open(folder.encode(), ctypes.byref(rules), message, len(message))
    return status, rules, message.value.decode()


def normalize_utf8(rules, form, text):
    data, needed = text.encode(), size_t()
    status = kavex.kavex_normalize_utf8(rules, form, data, len(data), None, 0,
                                        ctypes.byref(needed))
    if status not in (OK, BUFFER_TOO_SMALL):
        return status, needed.value
    out = ctypes.create_string_buffer(needed.value)
    status = kavex.kavex_normalize_utf8(rules, form, data, len(data), out, needed.value,
                                        ctypes.byref(needed))
    return status, out.raw[:needed.value].decode()


def normalize_utf16(rules, form, text):
    data = text.encode("utf-16-le" if sys.byteorder == "little" else "utf-16-be")
    units = (ctypes.c_uint16 * (len(data) // 2)).from_buffer_copy(data)
    needed = size_t()
    kavex.kavex_normalize_utf16(rules, form, units, len(units), None, 0, ctypes.byref(needed))
    out = (ctypes.c_uint16 * max(needed.value, 1))()
    status = kavex.kavex_normalize_utf16(rules, form, units, len(units), out, needed.value,
                                         ctypes.byref(needed))
    raw = bytes(out)[:2 * needed.value]
    return status, raw.decode("utf-16-le" if sys.byteorder == "little" else "utf-16-be")


class CTypesTest(unittest.TestCase):
    def setUp(self):
        status, self.rules, message = open_rules(RULES)
        self.assertEqual(status, OK, message)

    def tearDown(self):
        kavex.kavex_close(self.rules)

    def test_samples_in_every_form_and_encoding(self):
        checked = 0
        for name in sorted(os.listdir(SAMPLES)):
            if not name.endswith(".txt"):
                continue
            with open(os.path.join(SAMPLES, name), encoding="utf-8") as source:
                lines = source.read().splitlines()
            for suffix, form in FORMS.items():
                with open(os.path.join(SAMPLES, name[:-4] + "." + suffix), encoding="utf-8") as f:
                    expected = f.read().splitlines()
                for line, want in zip(lines, expected):
                    self.assertEqual(normalize_utf8(self.rules, form, line), (OK, want))
                    self.assertEqual(normalize_utf16(self.rules, form, line), (OK, want))
                    normalized = ctypes.c_int(7)
                    data = line.encode()
                    self.assertEqual(kavex.kavex_is_normalized_utf8(
                        self.rules, form, data, len(data), ctypes.byref(normalized), None), OK)
                    self.assertEqual(normalized.value, int(line == want))
                    checked += 1
        self.assertGreater(checked, 20)

    def test_failures_are_statuses_with_messages(self):
        self.assertEqual(kavex.kavex_version().decode().count("."), 2)
        with tempfile.TemporaryDirectory() as empty:
            status, rules, message = open_rules(empty)
            self.assertEqual((status, rules.value), (CONFIG_ERROR, None))
            self.assertIn(empty, message)
            self.assertIn("cannot open config.ini", message)
        self.assertEqual(normalize_utf8(self.rules, 1, "\u0627\u0653"), (OK, "\u0622"))
        data, needed = b"ab\xc3(", size_t()
        self.assertEqual(kavex.kavex_normalize_utf8(self.rules, 1, data, len(data), None, 0,
                                                    ctypes.byref(needed)), INVALID_UTF8)
        self.assertEqual(needed.value, 2)
        message = ctypes.create_string_buffer(256)
        length = kavex.kavex_message(self.rules, message, len(message))
        self.assertTrue(message.value.startswith(b"invalid UTF-8 at byte offset 2: "))
        self.assertEqual(length, len(message.value))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])

import enum
import os
from typing import Final, Iterable, Literal, Optional, Union

__version__: Final[str]
RULES: Final[str]

class Form(str, enum.Enum):
    NFD = "NFD"
    NFC = "NFC"
    NFKD = "NFKD"
    NFKC = "NFKC"

# "NFD", "NFC", "NFKD", "NFKC" in any case, or a Form.
FormLike = Union[
    Form, Literal["NFD", "NFC", "NFKD", "NFKC", "nfd", "nfc", "nfkd", "nfkc"], str
]

class RulesError(OSError):
    folder: str
    file: Optional[str]
    def __init__(self, message: str, folder: str, file: Optional[str] = ...) -> None: ...

class Normalizer:
    def __init__(
        self,
        rules: Optional[Union[str, os.PathLike[str]]] = ...,
        profile: Optional[str] = ...,
    ) -> None: ...
    @property
    def rules(self) -> str: ...
    @property
    def profile(self) -> Optional[str]: ...
    def normalize(self, text: str, form: FormLike = ...) -> str: ...
    def normalize_all(self, texts: Iterable[str], form: FormLike = ...) -> list[str]: ...
    def is_normalized(self, text: str, form: FormLike = ...) -> bool: ...
    def normalize_utf16le(
        self, data: Union[bytes, bytearray, memoryview], form: FormLike = ...
    ) -> bytes: ...

def normalize(text: str, form: FormLike = ...) -> str: ...
def normalize_all(texts: Iterable[str], form: FormLike = ...) -> list[str]: ...
def profiles() -> list[str]: ...

"""Small helpers that numor imports when it loads."""

from collections.abc import Iterable, Sequence
from typing import Any, TypeVar

__all__ = ("pzUnpack", "typOrPz", "concat")

_T = TypeVar("_T")
_D = TypeVar("_D")

def pzUnpack(given: Sequence[Any], defaults: Sequence[Any]) -> tuple[Any, ...]:
    """Item i of ``given`` where there is one, else item i of ``defaults``."""

def typOrPz(typ: type[Any], value: _T | None, default: _D) -> _T | _D:
    """``default`` when ``value`` is None, else ``value`` itself."""

def concat(seqs: Iterable[Iterable[_T]]) -> list[_T]:
    """All items of ``seqs[0]``, then of ``seqs[1]``, and so on, as a list."""

"""Enumerations that are classes.

An enumeration is a class derived from ``NUmor`` (fixed) or ``NUmorMutant``
(mutable). The class object itself is an ordered, read-only mapping from
member names to member values: ``len(E)``, ``for name, value in E``,
``name in E``, ``E[name]``, ``E[position]``, ``E[a:b]``, ``E.keys()``.
"""

from collections.abc import Generator, Mapping, MutableMapping, Set as AbstractSet
from types import FunctionType as FunctionType, MethodType as MethodType
from typing import Any, ClassVar, NoReturn, Self, TypeGuard, TypeVar, overload

from utilites import concat as concat, pzUnpack as pzUnpack, typOrPz as typOrPz

__all__ = ("NUmor", "NUmorMutant", "is_numor")

_T = TypeVar("_T")
_M = TypeVar("_M", bound=mNUmor)

# What the factory accepts as member data: names (each member's value is its
# own name), or a mapping that becomes the class namespace.
_Data = list[str] | tuple[str, ...] | AbstractSet[str] | Mapping[str, Any]

class mNUmor(type):
    """Metaclass of every enumeration class.

    Its methods are reached from an enumeration class ``E``: ``E.keys()``,
    ``len(E)``, ``E["name"]``, ``E + F`` and so on.
    """

    def __new__(
        cls: type[_M], name: str, bases: tuple[type, ...], dct: MutableMapping[str, Any], **args: Any
    ) -> _M:
        """Create an enumeration class from a class body (``dct`` is changed in place)."""

    def keys(self) -> list[str]:
        """The public member names (those not starting with "_"), in member order."""

    def values(self) -> tuple[Any, ...]:
        """The values of all members, underscore members included, in member order."""

    @overload
    def index(self, key: int) -> str:
        """The member name at position ``key`` (IndexError when out of range)."""

    @overload
    def index(self, key: str | mNUmor) -> int:
        """The position of the member named ``key`` (ValueError when there is none)."""

    @overload
    def get(self, key: int, pz: None = None) -> str | None:
        """The member name at position ``key``, or ``pz`` when there is none."""

    @overload
    def get(self, key: int, pz: _T) -> str | _T: ...
    @overload
    def get(self, key: str | mNUmor, pz: Any = None) -> Any:
        """The value of the member named ``key``, or ``pz`` when there is none."""

    def __len__(self) -> int:
        """The number of members, underscore members included."""

    def __iter__(self) -> Generator[tuple[str, Any], None, None]:
        """``(name, value)`` pairs of the public members, in member order."""

    def __contains__(self, key: object) -> bool:
        """A name of any member; an int is a valid position; other objects compare by ``str()``."""

    @overload
    def __getitem__(self, key: int) -> str:
        """``E[position]``: the member *name* at that position (KeyError when out of range)."""

    @overload
    def __getitem__(self, key: slice) -> type[NUmor]:
        """``E[a:b:c]``: a new enumeration of the selected members, named like ``E``."""

    @overload
    def __getitem__(self, key: str) -> Any:
        """``E["name"]``: the member value (KeyError when there is no such member)."""

    @overload
    def __getitem__(self, key: _M) -> _M:
        """``E[K]`` for a fixed enumeration class ``K``: ``K`` itself."""

    def __add__(self, value: mNUmor) -> type[NUmor]:
        """``E + F``: a new enumeration ``E_F`` with the public members of ``E``, then those of ``F``."""

    def __dir__(self) -> list[str]:
        """All member names, underscore members included, and nothing else."""

    def __bool__(self) -> bool:
        """True when the enumeration has at least one member."""

    def __nonzero__(self) -> bool:
        """The same as ``bool(E)``."""

    def __repr__(self) -> str:
        """``<NUmor(Name): id>``."""

    def __str__(self) -> str:
        """The class name."""

    def __unicode__(self) -> str:
        """The same as ``str(E)``."""

class mmNumor(mNUmor):
    """Metaclass of mutable enumerations: assignment and deletion keep the members in step."""

    def update(self, dct: Mapping[str, Any]) -> None:
        """Add new members (ordered among themselves) and replace values, from a mapping.

        Values are converted as in a class body: a non-empty dict becomes a
        nested enumeration and a plain function a class method.
        """

    def clear(self) -> None:
        """Remove every public member."""

    def __setattr__(self, attr: str, val: Any) -> None:
        """``E.name = value``: store the value; a new public name becomes the last member."""

    def __delattr__(self, attr: str) -> None:
        """``del E.name``: delete the attribute and drop the name from the members."""

    def __delitem__(self, item: str) -> None:
        """``del E["name"]``: the same as ``del E.name``."""

class NUmor(metaclass=mNUmor):
    """Root of every enumeration. Calling an enumeration class builds a new one.

    ``NUmor(["a", "b"], "Name")`` returns a new enumeration class (never an
    instance) whose members are ``a`` and ``b``, each valued by its own name.
    """

    _key: ClassVar[tuple[str, ...]]
    """The member names, in member order, underscore members included."""

    @overload
    def __new__(cls, data: _Data = ..., /, name: str = "") -> type[Self]:  # type: ignore[misc]
        """Build a new enumeration class derived from ``cls``.

        ``data`` is a list or tuple of names (kept in order), a set of names
        (sorted) or a mapping used as the class body; ``name`` defaults to the
        name of ``cls``.
        """

    @overload
    def __new__(  # type: ignore[misc]
        cls, data: _Data = ..., /, name: str = "", *, base: tuple[mNUmor, ...]
    ) -> type[NUmor]:
        """Build a new enumeration class with the given enumeration bases."""

    @overload
    def __new__(  # type: ignore[misc]
        cls, data: _Data, name: str, base: tuple[mNUmor, ...], /
    ) -> type[NUmor]: ...
    def __setattr__(self, attr: str, val: object) -> NoReturn:
        """Instances are read-only: always raises AttributeError."""

    def __delattr__(self, attr: str) -> NoReturn:
        """Instances are read-only: always raises AttributeError."""

class NUmorMutant(NUmor, metaclass=mmNumor):
    """Root of mutable enumerations (see ``mmNumor`` for ``update`` and ``clear``)."""

def is_numor(obj: object) -> TypeGuard[mNUmor]:
    """True when ``obj`` is an enumeration class."""

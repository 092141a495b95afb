"""mypy plugin for numor: subscription of an enumeration class is a lookup.

Enable it in the mypy configuration::

    [mypy]
    plugins = numor_mypy

mypy reads an unannotated assignment ``v = Colour["RED"]`` as an attempt to
define a type alias, because ``Colour`` is a class and the right-hand side
looks like a generic type; only classes of ``enum.EnumMeta`` are exempt, and
numor's metaclass cannot pretend to be that without making mypy treat every
member as an ``enum`` member. So the plugin turns such an assignment into the
equivalent chained assignment ``v = v = Colour["RED"]``, which mypy never
takes for an alias, and lets mypy check it like any other expression:

- while analysing names, when the alias candidate's class derives from
  ``numor.NUmor`` (the rewrite is deferred one round, as mypy does for any
  definition it cannot finish yet);
- right after parsing, when the subscript can never be a type (a slice, a
  call or an arithmetic expression), whatever the class.

It also gives ``E["name"]`` and ``E.get("name")`` with a literal name the
declared type of that member instead of ``Any`` (unless the class body
converts the value: dicts and functions stay ``Any``), and reports a literal
name that a fixed enumeration's class statement does not define, its
enumeration bases included, as it reports a mistyped attribute. A mutable
enumeration, which gains members at run time, and a ``type[E]`` value, which
may be a class derived from ``E`` with more members, accept any name.
"""

from __future__ import annotations

from collections.abc import Callable

from mypy import errorcodes
from mypy.nodes import (
    AssignmentStmt,
    Block,
    CallExpr,
    ClassDef,
    Decorator,
    ForStmt,
    FuncDef,
    IfStmt,
    IndexExpr,
    Lvalue,
    MypyFile,
    NameExpr,
    OpExpr,
    OverloadedFuncDef,
    SliceExpr,
    Statement,
    StrExpr,
    TryStmt,
    TypeInfo,
    Var,
    WhileStmt,
    WithStmt,
)
from mypy.options import Options
from mypy.plugin import AnalyzeTypeContext, MethodContext, Plugin
from mypy.types import (
    FunctionLike,
    Instance,
    PlaceholderType,
    Type,
    TypeType,
    get_proper_type,
)
from mypy.typeops import make_simplified_union

ROOT = "numor.NUmor"
MUTABLE = ("numor.NUmorMutant", "numor.mmNumor")
# For `E[key]` on a class object mypy names the metaclass method in its
# message form rather than by its full name.
GETITEM = {"numor.mNUmor.__getitem__", "__getitem__ of mNUmor"}
GET = {"numor.mNUmor.get", "get of mNUmor"}


def alias_candidate(stmt: Statement) -> IndexExpr | None:
    """The subscript of ``name = X[...]`` (the only form mypy may take for an alias)."""
    if not isinstance(stmt, AssignmentStmt) or stmt.unanalyzed_type is not None:
        return None
    if len(stmt.lvalues) != 1 or not isinstance(stmt.lvalues[0], NameExpr):
        return None
    return stmt.rvalue if isinstance(stmt.rvalue, IndexExpr) else None


def as_chained_assignment(stmt: AssignmentStmt) -> None:
    """Rewrite ``v = e`` as ``v = v = e``: the same variable and type, never an alias.

    (mypy may still be finishing the statement it was, which must keep a
    plain name as its first target, so the names are new objects.)
    """
    name = stmt.lvalues[0]
    assert isinstance(name, NameExpr)
    targets = [NameExpr(name.name), NameExpr(name.name)]
    for target in targets:
        target.set_line(name)
    stmt.lvalues = list[Lvalue](targets)


def never_a_type(index: IndexExpr) -> bool:
    key = index.index
    if isinstance(key, OpExpr):
        return key.op != "|"  # `X | Y` is a union
    return isinstance(key, (SliceExpr, CallExpr))


def blocks_of(stmt: Statement) -> list[Block]:
    if isinstance(stmt, (ClassDef, FuncDef)):
        return [stmt.defs] if isinstance(stmt, ClassDef) else [stmt.body]
    if isinstance(stmt, Decorator):
        return [stmt.func.body]
    if isinstance(stmt, OverloadedFuncDef):
        return [b for item in stmt.items for b in blocks_of(item)]
    if isinstance(stmt, IfStmt):
        return [*stmt.body, *([stmt.else_body] if stmt.else_body else [])]
    if isinstance(stmt, (ForStmt, WhileStmt)):
        return [stmt.body, *([stmt.else_body] if stmt.else_body else [])]
    if isinstance(stmt, WithStmt):
        return [stmt.body]
    if isinstance(stmt, TryStmt):
        extra = [b for b in (stmt.else_body, stmt.finally_body) if b]
        return [stmt.body, *stmt.handlers, *extra]
    return []


def rewrite_impossible_aliases(statements: list[Statement]) -> None:
    for stmt in statements:
        index = alias_candidate(stmt)
        if index is not None and never_a_type(index):
            assert isinstance(stmt, AssignmentStmt)
            as_chained_assignment(stmt)
        for block in blocks_of(stmt):
            rewrite_impossible_aliases(block.body)


class NumorPlugin(Plugin):
    def __init__(self, options: Options) -> None:
        super().__init__(options)
        self._plain = False  # set while the hook asks mypy for its own analysis

    def get_additional_deps(self, file: MypyFile) -> list[tuple[int, str, int]]:
        if not file.is_stub:
            rewrite_impossible_aliases(file.defs)
        return []

    def get_type_analyze_hook(self, fullname: str) -> Callable[[AnalyzeTypeContext], Type] | None:
        if self._plain:
            return None
        node = self.lookup_fully_qualified(fullname)
        info = node.node if node is not None else None
        if isinstance(info, TypeInfo) and info.mro and info.has_base(ROOT):
            return self.subscription_is_not_an_alias
        return None

    def subscription_is_not_an_alias(self, ctx: AnalyzeTypeContext) -> Type:
        analyser = ctx.api
        semanal = getattr(analyser, "api", None)
        stmt = getattr(semanal, "statement", None)
        index = alias_candidate(stmt) if isinstance(stmt, Statement) else None
        if (
            index is not None
            and getattr(analyser, "defining_alias", False)
            and not getattr(semanal, "final_iteration", True)
            and (index.base.line, index.base.column) == (ctx.type.line, ctx.type.column)
        ):
            assert isinstance(stmt, AssignmentStmt)
            as_chained_assignment(stmt)
            # A placeholder makes mypy defer this definition; the next round
            # analyses the rewritten statement as a plain assignment.
            return PlaceholderType(None, [], ctx.type.line)
        self._plain = True
        try:
            return analyser.analyze_type(ctx.type)
        finally:
            self._plain = False

    def get_method_hook(self, fullname: str) -> Callable[[MethodContext], Type] | None:
        if fullname in GETITEM:
            return subscription_type
        return get_type if fullname in GET else None


def enumeration_info(typ: Type) -> tuple[TypeInfo, bool] | None:
    """The class of ``E`` in ``E[...]``, and whether ``E`` is that class itself.

    ``type[E]`` (a parameter, ``cls`` in a class method) may hold a class
    derived from ``E``.
    """
    typ = get_proper_type(typ)
    if isinstance(typ, TypeType):
        item = get_proper_type(typ.item)
        return (item.type, False) if isinstance(item, Instance) else None
    if isinstance(typ, FunctionLike) and typ.is_type_obj():
        return typ.type_object(), True
    return None


def is_mutable(info: TypeInfo) -> bool:
    meta = info.metaclass_type
    return any(info.has_base(name) for name in MUTABLE) or (
        meta is not None and any(meta.type.has_base(name) for name in MUTABLE)
    )


def is_member_name(name: str, own: bool) -> bool:
    """Whether a class-body name becomes a member: of the class's own body
    (``own``), or inherited from an enumeration base (public names only)."""
    if not name or name[0].isdigit() or name.startswith("__"):
        return False
    return own or not name.startswith("_")


def defines_member(info: TypeInfo, name: str) -> bool:
    """Whether the class statement of ``info`` or of one of its enumeration
    bases makes ``name`` a member of ``info``."""
    for base in info.mro:
        if base.fullname in (ROOT, *MUTABLE) or not base.has_base(ROOT):
            continue
        found = base.names.get(name)
        if found is None or not is_member_name(name, base is info):
            continue
        node = found.node
        # `x: int` alone binds nothing in the class namespace.
        if isinstance(node, Var) and not getattr(node, "has_explicit_value", True):
            continue
        return True
    return False


def literal_name(ctx: MethodContext) -> str | None:
    """The literal str given as the key (the first argument), if it is one."""
    if not ctx.args or len(ctx.args[0]) != 1:
        return None
    key = ctx.args[0][0]
    return key.value if isinstance(key, StrExpr) else None


def declared_member_type(info: TypeInfo, name: str) -> Type | None:
    """The declared type of member ``name``, when the class body keeps the
    value as it is; None when it is not known."""
    found = info.get(name)
    if found is None or not isinstance(found.node, Var) or found.node.type is None:
        return None
    if found.node.info is not None and not found.node.info.has_base(ROOT):
        return None  # an attribute of object, not a member
    declared = get_proper_type(found.node.type)
    # The class body converts these: a non-empty dict becomes a nested
    # enumeration and a function a class method.
    if isinstance(declared, FunctionLike) or (
        isinstance(declared, Instance) and declared.type.has_base("builtins.dict")
    ):
        return None
    return found.node.type


def member_of(ctx: MethodContext, report: bool) -> Type | None:
    """The type of the member that the literal key names, or None. An
    undefined name of a fixed enumeration's class statement is reported
    when ``report`` is true."""
    found = enumeration_info(ctx.type)
    name = literal_name(ctx)
    if found is None or name is None:
        return None
    info, itself = found
    if (
        report
        and itself
        and info.fullname not in (ROOT, *MUTABLE)
        and not info.fallback_to_any
        and not is_mutable(info)
        and not defines_member(info, name)
    ):
        ctx.api.fail(
            f'Enumeration "{info.name}" has no member "{name}"',
            ctx.context,
            code=errorcodes.ATTR_DEFINED,
        )
        return None
    return declared_member_type(info, name)


def subscription_type(ctx: MethodContext) -> Type:
    """``E["name"]`` with a literal name: the declared type of that member."""
    if len(ctx.args) != 1:
        return ctx.default_return_type
    member = member_of(ctx, report=True)
    return ctx.default_return_type if member is None else member


def get_type(ctx: MethodContext) -> Type:
    """``E.get("name", pz)`` with a literal name: as ``E["name"]``, or the
    type of ``pz`` when one is given (the member may be missing)."""
    member = member_of(ctx, report=False)
    if member is None:
        return ctx.default_return_type
    if len(ctx.arg_types) > 1 and ctx.arg_types[1]:
        return make_simplified_union([member, ctx.arg_types[1][0]])
    return member


def plugin(version: str) -> type[Plugin]:
    return NumorPlugin

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

It also gives ``E["name"]`` with a literal name the declared type of that
member instead of ``Any`` (unless the class body converts the value: dicts
and functions stay ``Any``).
"""

from __future__ import annotations

from collections.abc import Callable

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

ROOT = "numor.NUmor"
# For `E[key]` on a class object mypy names the metaclass method in its
# message form rather than by its full name.
GETITEM = {"numor.mNUmor.__getitem__", "__getitem__ of mNUmor"}


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
        return member_type if fullname in GETITEM else None


def enumeration_info(typ: Type) -> TypeInfo | None:
    typ = get_proper_type(typ)
    if isinstance(typ, TypeType):
        item = get_proper_type(typ.item)
        return item.type if isinstance(item, Instance) else None
    if isinstance(typ, FunctionLike) and typ.is_type_obj():
        return typ.type_object()
    return None


def member_type(ctx: MethodContext) -> Type:
    """``E["name"]`` with a literal name: the declared type of that member."""
    info = enumeration_info(ctx.type)
    if info is None or len(ctx.args) != 1 or len(ctx.args[0]) != 1:
        return ctx.default_return_type
    key = ctx.args[0][0]
    if not isinstance(key, StrExpr):
        return ctx.default_return_type
    found = info.get(key.value)
    if found is None or not isinstance(found.node, Var) or found.node.type is None:
        return ctx.default_return_type
    if found.node.info is not None and not found.node.info.has_base(ROOT):
        return ctx.default_return_type  # an attribute of object, not a member
    declared = get_proper_type(found.node.type)
    # The class body converts these: a non-empty dict becomes a nested
    # enumeration and a function a class method.
    if isinstance(declared, FunctionLike) or (
        isinstance(declared, Instance) and declared.type.has_base("builtins.dict")
    ):
        return ctx.default_return_type
    return found.node.type


def plugin(version: str) -> type[Plugin]:
    return NumorPlugin

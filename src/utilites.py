"""Small helpers that numor imports at load time.

numor calls them through its own module attributes, so replacing
``numor.concat`` (say) changes what later class creations use.
"""

__all__ = ("pzUnpack", "typOrPz", "concat")


def pzUnpack(given, defaults):
    """Item i of ``given`` where there is one, else item i of ``defaults``."""
    # Called for every enumeration built from data: slices, not a generator.
    return (*given[: len(defaults)], *defaults[len(given) :])


def typOrPz(typ, value, default):
    """``default`` when ``value`` is None, else ``value`` itself."""
    return default if value is None else value


# numor knows this function by its text (kConcatText in src/caches.cpp) and
# then joins the sequences itself: change both together.
def concat(seqs):
    """All items of ``seqs[0]``, then of ``seqs[1]``, and so on, as a list."""
    out = []
    for seq in seqs:
        out.extend(seq)
    return out

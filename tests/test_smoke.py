import numor
from numor import NUmor


def test_class_statement_orders_members_by_name():
    class Color(NUmor):
        RED = 1
        GREEN = 2
        BLUE = 3

    assert Color._key == ("BLUE", "GREEN", "RED")
    assert Color["RED"] == 1
    assert numor.is_numor(Color)

def test_creating_and_dropping_many_enumeration_classes_does_not_grow_memory(run_python):
    # Six classes per round (three of them nested) and one failed creation:
    # about 100,000 classes in all.
    proc = run_python("""
        import gc, sys
        from numor import NUmor, NUmorMutant, mNUmor

        class Base(NUmor):
            inherited = 1
            def method(cls):
                return cls

        def round_():
            class E(Base):
                __ordo_numor__ = ("b", "a")
                __ordo_numor_key__ = lambda s: len(s) + 10
                __ordo_numor_reverse__ = True
                __numoer_nominis__ = "Named"
                a = 1
                b = {"x": 1, "y": {"z": 2}}
                def f(cls):
                    return cls
            class M(NUmorMutant):
                q = {"w": 1}
            mNUmor("D", (E, Base), {"c": lambda cls: 0})
            try:
                mNUmor("F", (NUmor,), {"a": 1, "b": 2, "__ordo_numor__": ["a"]})
            except TypeError:
                pass

        def rounds(n):
            for _ in range(n):
                round_()
            gc.collect()

        rounds(1000)
        before = sys.getallocatedblocks()
        rounds(17_000)
        print(sys.getallocatedblocks() - before)
    """)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 1000

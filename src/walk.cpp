// next_item of walk.h.
#include "walk.h"

namespace numor {

Ref next_item(PyObject *it) {
    // One count per thread: only the step matters, not which loop made it.
    static thread_local unsigned steps = 0;
    if ((++steps & 1023) == 0) {
        // A loop over C iterators runs no bytecode, so the interpreter never
        // hands the lock over on its own: let waiting threads in.
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) return Ref();
    }
    return Ref::steal(PyIter_Next(it));
}

}  // namespace numor

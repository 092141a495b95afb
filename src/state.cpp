// The module state of state.h.
#include "state.h"

namespace numor {

namespace detail {
ModuleState module_state;
}

PyObject *zero() {
    static PyObject *z = PyLong_FromLong(0);
    return z;
}

}  // namespace numor

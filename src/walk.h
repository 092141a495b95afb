// Loops over user-supplied iterables.
#pragma once

#include "fast_paths.h"
#include "ref.h"

namespace numor {

// `next(it)` for loops over user-supplied iterables: null when finished (no
// error set) or failed. Every so many items it first lets other threads
// run and runs pending signal handlers, so that endless input
// (`itertools.cycle`) blocks no thread and ends with the KeyboardInterrupt
// or the alarm handler's exception.
Ref next_item(PyObject *it);

// Walks the items of a sequence as a `for` loop would. An exact tuple or
// list is walked by index, as its iterator would walk it: a tuple is held
// and cannot change; a list's length is read afresh at each step (the loop
// body may change it) and once past the end the walk is finished for good.
// Anything else goes through its iterator and next_item.
class Walk {
  public:
    // False, with an error set, when `seq` is not iterable.
    bool start(PyObject *seq) {
        if (!kFastPaths) {
            it_ = Ref::steal(PyObject_GetIter(seq));
            return static_cast<bool>(it_);
        }
        if (PyTuple_CheckExact(seq)) {
            seq_ = Ref::new_ref(seq);
            tuple_ = seq;
            size_ = PyTuple_GET_SIZE(seq);
            return true;
        }
        if (PyList_CheckExact(seq)) {
            seq_ = Ref::new_ref(seq);
            return true;
        }
        it_ = Ref::steal(PyObject_GetIter(seq));
        return static_cast<bool>(it_);
    }
    // The next item, or null: finished (no error set) or failed. Borrowed,
    // and valid until the following call: the walk holds it (an item of a
    // held tuple needs no reference of its own).
    PyObject *next() {
        if (tuple_) return pos_ < size_ ? PyTuple_GET_ITEM(tuple_, pos_++) : nullptr;
        return next_other();
    }

    // The exact tuple being walked, or null.
    PyObject *tuple() const { return tuple_; }
    // In a walk of that tuple, the position of the item next() gave last.
    Py_ssize_t tuple_pos() const { return pos_ - 1; }

    // For an owner that the garbage collector sees.
    int traverse(visitproc visit, void *arg) {
        Py_VISIT(seq_.get());
        Py_VISIT(it_.get());
        Py_VISIT(item_.get());
        return 0;
    }
    // Ends the walk.
    void clear() {
        tuple_ = nullptr;
        seq_.reset();
        it_.reset();
        item_.reset();
    }

  private:
    PyObject *next_other() {
        if (it_) {
            item_ = next_item(it_.get());
            return item_.get();
        }
        if (seq_ && pos_ < PyList_GET_SIZE(seq_.get())) {
            item_ = Ref::new_ref(PyList_GET_ITEM(seq_.get(), pos_++));
            return item_.get();
        }
        seq_.reset();
        return nullptr;
    }

    Ref seq_, it_, item_;
    PyObject *tuple_ = nullptr;  // seq_ when it is an exact tuple
    Py_ssize_t size_ = 0, pos_ = 0;
};

}  // namespace numor

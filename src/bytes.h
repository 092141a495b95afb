// Scratch memory for one call.
#pragma once

#include "ref.h"

#include <cstddef>

namespace numor {

// A buffer of `n` bytes for the length of a call, on the stack when small.
// False (with MemoryError set) when it could not be had.
class Bytes {
  public:
    explicit Bytes(Py_ssize_t n)
        : data_(n <= kInline ? inline_ : static_cast<unsigned char *>(PyMem_Malloc(n))) {
        if (!data_) PyErr_NoMemory();
    }
    ~Bytes() {
        if (data_ != inline_) PyMem_Free(data_);
    }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    explicit operator bool() const { return data_ != nullptr; }
    unsigned char *data() { return data_; }

  private:
    static constexpr Py_ssize_t kInline = 64;
    alignas(std::max_align_t) unsigned char inline_[kInline];
    unsigned char *data_;
};

}  // namespace numor

// The recursion guard of nested enumerations.
//
// A dict member becomes a nested enumeration by a call back into `NUmor`,
// so a deeply nested dict recurses through C: each level is two metaclass
// calls and about 2.5 KiB of C stack, yet the interpreter charges it only 2
// against its recursion limit (3.11) or its C recursion budget (3.12+, a
// budget that differs between versions and ignores sys.setrecursionlimit).
// Left to the interpreter, a small thread stack or a raised limit lets the
// recursion run off the end of the stack.
//
// The guard combines two checks, made before each nested level:
//  * its own count of nesting levels in this thread, each charged
//    kLevelCost against sys.getrecursionlimit() (what about eight of the
//    interpreter's own C recursion levels, such as nested `repr`, use) and
//    capped at kMaxLevels (below the 3.12 C recursion budget of 1500, of
//    which a level takes 2), so RecursionError comes at the same nesting
//    depth on every version;
//  * the remaining stack of the thread, read from the thread's stack bounds
//    once per thread, so that no limit and no thread stack size can let a
//    level start without room to run and unwind.
#pragma once

#include "compat.h"
#include "ref.h"

#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace numor {

class NestingGuard {
  public:
    NestingGuard() noexcept = default;
    NestingGuard(const NestingGuard &) = delete;
    NestingGuard &operator=(const NestingGuard &) = delete;
    ~NestingGuard() {
        if (entered_) --levels();
    }

    // Enters one more level: false, with RecursionError set, when refused.
    bool enter() noexcept {
        const long limit = Py_GetRecursionLimit();
        if (levels() >= kMaxLevels || (levels() + 1) * kLevelCost > limit || stack_low()) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while building a nested enumeration");
            return false;
        }
        ++levels();
        entered_ = true;
        return true;
    }

  private:
    static constexpr long kLevelCost = 8;
    static constexpr long kMaxLevels = 500;

    static long &levels() noexcept {
        static thread_local long n = 0;
        return n;
    }

    // Room kept free below a level: a quarter of the stack, at most 256 KiB,
    // enough for a level's own use (several times over under sanitizers)
    // and for the unwinding and error reporting after a refusal.
    static bool stack_low() noexcept {
#if defined(__linux__)
        static thread_local std::uintptr_t floor = 0;  // 0: not read yet
        static thread_local bool known = false;
        if (!known) {
            known = true;
            pthread_attr_t attr;
            if (pthread_getattr_np(pthread_self(), &attr) == 0) {
                void *addr = nullptr;
                size_t size = 0;
                if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) {
                    size_t margin = size / 4;
                    if (margin > kMaxMargin) margin = kMaxMargin;
                    floor = reinterpret_cast<std::uintptr_t>(addr) + margin;
                }
                pthread_attr_destroy(&attr);
            }
        }
        // The frame address, not a local's: a sanitizer may put locals on a
        // separate fake stack.
        const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        return floor && here < floor;
#else
        return false;
#endif
    }
    static constexpr size_t kMaxMargin = 256 * 1024;

    bool entered_ = false;
};

}  // namespace numor

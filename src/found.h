// The answers of searches that can fail or not apply.
#pragma once

namespace numor {

// The answer of a scan that may not apply.
enum class Scan { hit, miss, unsupported, error };

// The result of a membership test that can fail.
enum class Found { error = -1, no, yes };

inline Found found_from(int r) { return r < 0 ? Found::error : r ? Found::yes : Found::no; }

}  // namespace numor

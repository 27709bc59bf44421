// One heap block of f64 per kernel call, carved into named pieces in a fixed
// order and released when the Arena goes out of scope (every return path).
//
// The total length is computed with overflow checks: a size that cannot be
// represented in bytes is reported exactly like a failed allocation, never as a
// short block.  A zero-length arena is a successful allocation whose pieces are
// all empty.
#ifndef KSX_DIAG_ARENA_HPP
#define KSX_DIAG_ARENA_HPP

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <limits>

#include "../_common/ksx_common.h"

namespace ksx {

// a * b for non-negative sizes; false when negative or not representable.
inline bool checked_mul(i64 a, i64 b, i64* out) {
    if (a < 0 || b < 0) return false;
    return !__builtin_mul_overflow(a, b, out);
}

// a + b for non-negative sizes; false when negative or not representable.
inline bool checked_add(i64 a, i64 b, i64* out) {
    if (a < 0 || b < 0) return false;
    return !__builtin_add_overflow(a, b, out);
}

class Arena {
public:
    // lengths: the element counts of the pieces, in carving order.  Any
    // negative or overflowing length leaves the arena unallocated.
    explicit Arena(std::initializer_list<i64> lengths) {
        i64 total = 0;
        for (i64 len : lengths) {
            if (!checked_add(total, len, &total)) return;
        }
        i64 bytes = 0;
        if (!checked_mul(total, static_cast<i64>(sizeof(f64)), &bytes)) return;
        if (static_cast<std::uint64_t>(bytes) > std::numeric_limits<std::size_t>::max()) return;
        if (bytes == 0) {
            ok_ = true;
            return;
        }
        base_ = static_cast<f64*>(std::malloc(static_cast<std::size_t>(bytes)));
        ok_ = base_ != nullptr;
    }

    ~Arena() { std::free(base_); }

    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    bool ok() const { return ok_; }

    // Next piece of len elements.  The pieces must be taken in the order and
    // with the lengths given to the constructor.
    f64* take(i64 len) {
        if (base_ == nullptr) return nullptr;
        f64* piece = base_ + used_;
        used_ += len;
        return piece;
    }

private:
    f64* base_ = nullptr;
    i64 used_ = 0;
    bool ok_ = false;
};

}  // namespace ksx

#endif  // KSX_DIAG_ARENA_HPP

/* Shared scalar types and small helpers of the Kestrix numeric core.
 *
 * Every size, count and index is an i64; every value is an f64.  Matrices are
 * dense, contiguous and row-major with no stride argument: element (i, j) of an
 * r-by-c matrix lies at index i*c + j.
 *
 * This header compiles as C11 and as C++17.
 */
#ifndef KSX_COMMON_H
#define KSX_COMMON_H

#include <stdint.h>

typedef int64_t i64;
typedef double f64;

static inline i64 min_i64(i64 a, i64 b) { return a < b ? a : b; }
static inline i64 max_i64(i64 a, i64 b) { return a > b ? a : b; }
static inline f64 min_f64(f64 a, f64 b) { return a < b ? a : b; }
static inline f64 max_f64(f64 a, f64 b) { return a > b ? a : b; }

#endif /* KSX_COMMON_H */

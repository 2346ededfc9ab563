// Signed integer keys whose order is the numeric order of the usable samples.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace vorn::baseline {

// The window structures compare and select integer keys instead of floats:
// an integer compare is cheaper than a float compare, vectorises with the
// integer instructions of every x86-64 level, and the key order is total.
// Flipping the 63 (31) low bits of negative values turns the IEEE bit
// pattern into a two's-complement integer that orders like the float, with
// -0 just below +0. The float order is load-bearing only through that -0/+0
// split, and the kernel's definition lets either zero win a tie, so the
// value of any rank is the float value of that rank. Because the key order
// is total, the key of a rank does not depend on the order the samples came
// in, which keeps results independent of where a piece starts.
//
// Keys travel as 64-bit integers, float32 keys sign-extended (which keeps
// their order), so one set of vectorised passes serves both element types;
// the anchor ring, the busiest of the window structures, keeps float32 keys
// at their own 32 bits (float_key<T>::key) and has passes for them. NaN never becomes a key (the callers skip it), so the largest
// 64-bit integer, above the key of +infinity, is free to mark "no usable
// sample here"; being the largest, it never wins a minimum or a low rank.
using wide_key = std::int64_t;

inline constexpr wide_key unusable_wide_key = std::numeric_limits<wide_key>::max();

template <class T>
struct float_key;

template <>
struct float_key<double> {
    using key = std::int64_t;
};

template <>
struct float_key<float> {
    using key = std::int32_t;
};

template <class T>
inline wide_key to_key(T value) noexcept {
    using key = typename float_key<T>::key;
    constexpr int top = std::numeric_limits<key>::digits;  // 63 or 31
    const key raw = std::bit_cast<key>(value);
    // raw >> top is 0 for a clear sign bit and -1 (all ones) for a set one.
    return raw ^ static_cast<key>((raw >> top) & std::numeric_limits<key>::max());
}

// The inverse of to_key: the sign bit is unchanged, so the same flip undoes it.
template <class T>
inline T from_key(wide_key wide) noexcept {
    using key = typename float_key<T>::key;
    constexpr int top = std::numeric_limits<key>::digits;
    const key k = static_cast<key>(wide);
    return std::bit_cast<T>(static_cast<key>(k ^ ((k >> top) & std::numeric_limits<key>::max())));
}

// Only the lowest bit of a mask byte counts; NumPy stores booleans as 0 or 1
// but a view over other bytes may carry anything.
inline bool mask_true(std::uint8_t byte) noexcept { return (byte & 1u) != 0; }

// NaN is the one value that compares unequal to itself; infinities are usable.
template <class T>
inline bool usable_value(T x) noexcept {
    return x == x;
}

}  // namespace vorn::baseline

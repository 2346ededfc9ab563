// Fixed sorting networks for the keys of short windows, unrolled at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

namespace vorn::baseline {

// A window of a few dozen keys is ranked faster by sorting a copy of it with
// a fixed network than by any selection: the network has no branch on the
// keys (noise makes every comparison a coin toss for a predictor), its
// comparators are independent enough to overlap, and with the length known
// at compile time the keys stay in registers. Batcher's odd-even merge sort
// in its form for any length (the comparators of the next power of two that
// touch only the first `length` slots): 1, 5, 12, 19, 63 and 191 comparators
// for 2, 4, 6, 8, 16 and 32 keys.
template <std::size_t length>
struct merge_network {
    struct comparator {
        std::size_t low;
        std::size_t high;
    };

    static constexpr std::size_t count() noexcept {
        std::size_t total = 0;
        each([&](std::size_t, std::size_t) { ++total; });
        return total;
    }

    static constexpr auto comparators() noexcept {
        std::array<comparator, count()> list{};
        std::size_t at = 0;
        each([&](std::size_t low, std::size_t high) { list[at++] = {low, high}; });
        return list;
    }

    template <class Visit>
    static constexpr void each(Visit visit) noexcept {
        for (std::size_t p = 1; p < length; p *= 2)
            for (std::size_t k = p; k >= 1; k /= 2)
                for (std::size_t j = k % p; j + k < length; j += 2 * k)
                    for (std::size_t i = 0; i < k && i + j + k < length; ++i)
                        if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) visit(i + j, i + j + k);
    }
};

// Sorts keys[0 .. length) ascending. Every comparator is a min and a max,
// which compile to compare-and-move, never to a branch.
template <std::size_t length, class Key>
inline void sort_by_network(Key* keys) noexcept {
    static constexpr auto list = merge_network<length>::comparators();
    [&]<std::size_t... c>(std::index_sequence<c...>) {
        const auto exchange = [](Key& low, Key& high) {
            const Key a = low;
            const Key b = high;
            low = b < a ? b : a;
            high = b < a ? a : b;
        };
        (exchange(keys[list[c].low], keys[list[c].high]), ...);
    }(std::make_index_sequence<list.size()>{});
}

}  // namespace vorn::baseline

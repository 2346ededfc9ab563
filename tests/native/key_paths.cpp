// Checks every compiled variant of the key passes (portable, AVX2, AVX-512F,
// as far as the processor runs them) against plain loops over seeded random
// keys and samples: counts, the kept keys in order, and the nearest keys with
// their multiplicities. Prints "N passed, M failed".
#include <algorithm>
#include <array>
#include <bit>
#include <type_traits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "baseline/anchor_window.hpp"
#include "baseline/key_passes.hpp"
#include "baseline/key_select.hpp"
#include "baseline/rank_window.hpp"
#include "baseline/sorted_window.hpp"

using namespace vorn::baseline;
namespace detail = vorn::baseline::key_passes_detail;

namespace {

int passed = 0;
int failed = 0;

void expect(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else if (++failed <= 20) {
        std::printf("FAILED: %s\n", what.c_str());
    }
}

struct variant {
    const char* name;
    bracket_tally (*filter)(std::span<const wide_key>, wide_key, wide_key, wide_key*,
                            bracket_tally) noexcept;
    split_tally (*split)(std::span<const wide_key>, wide_key, wide_key*, wide_key*) noexcept;
    neighbour (*above)(std::span<const wide_key>, wide_key) noexcept;
    neighbour (*below)(std::span<const wide_key>, wide_key) noexcept;
    std::size_t (*usable64)(const double*, const std::uint8_t*, std::size_t,
                            wide_key*) noexcept;
    std::size_t (*usable32)(const float*, const std::uint8_t*, std::size_t,
                            wide_key*) noexcept;
    // The passes over the narrow keys of float32 samples.
    bracket_tally (*narrow_filter)(std::span<const narrow_key>, narrow_key, narrow_key,
                                   narrow_key*, bracket_tally) noexcept;
    split_tally (*narrow_split)(std::span<const narrow_key>, narrow_key, narrow_key*,
                                narrow_key*) noexcept;
    std::size_t (*narrow_usable)(const float*, const std::uint8_t*, std::size_t,
                                 narrow_key*) noexcept;
    wide_key (*small)(const wide_key*, std::size_t, std::size_t) noexcept;
    narrow_key (*narrow_small)(const narrow_key*, std::size_t, std::size_t) noexcept;
    key_bounds<wide_key> (*range)(std::span<const wide_key>) noexcept;
    key_bounds<narrow_key> (*narrow_range)(std::span<const narrow_key>) noexcept;
};

// Keys from a small pool, so that ties, the pivot itself and the bracket's
// ends occur often; the pool includes the extremes of the key type.
template <class Key = wide_key>
std::vector<Key> make_keys(std::mt19937_64& rng, std::size_t n) {
    constexpr Key lowest = std::numeric_limits<Key>::min();
    constexpr Key highest = std::numeric_limits<Key>::max();
    static const Key pool[] = {lowest, -7, -1, 0, 1, 2, 3, 5, 8, 1000, highest - 1, highest};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pool) - 1);
    std::uniform_int_distribution<int> coin(0, 3);
    std::vector<Key> keys(n);
    for (auto& k : keys) k = coin(rng) == 0 ? static_cast<Key>(rng()) : pool[pick(rng)];
    return keys;
}

template <class Key>
Key pick_from(std::mt19937_64& rng, const std::vector<Key>& keys) {
    if (keys.empty() || rng() % 4 == 0) return static_cast<Key>(rng() % 11) - 3;
    return keys[rng() % keys.size()];
}

std::string label(const variant& v, const char* pass, std::size_t n, int round) {
    return std::string(v.name) + " " + pass + " n=" + std::to_string(n) +
           " round=" + std::to_string(round);
}

template <class Key, class Filter>
void check_filter(Filter filter, std::mt19937_64& rng, const std::vector<Key>& keys,
                  const std::string& what) {
    Key low = pick_from(rng, keys);
    Key high = pick_from(rng, keys);
    if (high < low) std::swap(low, high);
    const bracket_tally start{rng() % 5, rng() % 5};
    std::vector<Key> want(start.kept, 42);
    std::size_t below = start.below;
    for (const Key k : keys) {
        below += k < low;
        if (k >= low && k <= high) want.push_back(k);
    }
    std::vector<Key> got(start.kept + keys.size() + key_pass_slack, 42);
    const bracket_tally t = filter(keys, low, high, got.data(), start);
    got.resize(std::min(got.size(), t.kept));
    expect(t.below == below && t.kept == want.size() && got == want, what);
}

template <class Key, class Split>
void check_split(Split split, std::mt19937_64& rng, const std::vector<Key>& keys,
                 const std::string& what) {
    const Key pivot = pick_from(rng, keys);
    std::vector<Key> less, greater;
    for (const Key k : keys) {
        if (k < pivot) less.push_back(k);
        if (pivot < k) greater.push_back(k);
    }
    std::vector<Key> got_less(keys.size() + key_pass_slack);
    std::vector<Key> got_greater(keys.size() + key_pass_slack);
    const split_tally t = split(keys, pivot, got_less.data(), got_greater.data());
    got_less.resize(std::min(got_less.size(), t.less));
    got_greater.resize(std::min(got_greater.size(), t.greater));
    expect(got_less == less && got_greater == greater, what);
}

// Every rank of the first keys (up to small_select_limit of them) against
// a sorted copy.
template <class Key, class Select>
void check_small(Select select, const std::vector<Key>& keys, const std::string& what) {
    std::vector<Key> first(keys.begin(),
                           keys.begin() + std::min(keys.size(), small_select_limit));
    std::vector<Key> sorted = first;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t rank = 0; rank < first.size(); ++rank)
        expect(select(first.data(), first.size(), rank) == sorted[rank],
               what + " rank=" + std::to_string(rank));
}

void check_nearest(const variant& v, std::mt19937_64& rng, const std::vector<wide_key>& keys,
                   const std::string& what) {
    const wide_key key = pick_from(rng, keys);
    // The passes require a key on the asked side other than the extremes of
    // the key type (no sample has either); ask only where one exists.
    constexpr wide_key lowest = std::numeric_limits<wide_key>::min();
    bool any_above = false, any_below = false;
    wide_key up = unusable_wide_key;
    wide_key down = lowest;
    for (const wide_key k : keys) {
        if (key < k && k != unusable_wide_key) any_above = true, up = std::min(up, k);
        if (k < key && k != lowest) any_below = true, down = std::max(down, k);
    }
    if (any_above) {
        const neighbour n = v.above(keys, key);
        const auto count = static_cast<std::size_t>(std::count(keys.begin(), keys.end(), up));
        expect(n.key == up && n.count == count, what + " above");
    }
    if (any_below) {
        const neighbour n = v.below(keys, key);
        const auto count = static_cast<std::size_t>(std::count(keys.begin(), keys.end(), down));
        expect(n.key == down && n.count == count, what + " below");
    }
}

template <class T, class Key>
void check_usable(std::size_t (*pass)(const T*, const std::uint8_t*, std::size_t,
                                      Key*) noexcept,
                  std::mt19937_64& rng, std::size_t n, const std::string& what) {
    const T specials[] = {std::numeric_limits<T>::quiet_NaN(),
                          std::numeric_limits<T>::infinity(),
                          -std::numeric_limits<T>::infinity(),
                          T(0),
                          -T(0),
                          std::numeric_limits<T>::denorm_min(),
                          -std::numeric_limits<T>::max()};
    std::normal_distribution<double> normal;
    std::vector<T> signal(n);
    std::vector<std::uint8_t> mask(n);
    std::size_t gap = 0;  // positions left in a masked stretch
    for (std::size_t i = 0; i < n; ++i) {
        signal[i] = rng() % 5 == 0 ? specials[rng() % std::size(specials)]
                                   : static_cast<T>(normal(rng));
        // Any byte: only the lowest bit counts. Now and then a stretch of
        // up to 100 masked positions, as artefact gaps leave.
        if (gap == 0 && rng() % 64 == 0) gap = 1 + rng() % 100;
        mask[i] = static_cast<std::uint8_t>(gap != 0       ? (rng() % 128) * 2
                                            : rng() % 3 == 0 ? rng()
                                                             : rng() % 2);
        gap -= gap != 0 ? 1 : 0;
    }
    std::vector<Key> want;
    for (std::size_t i = 0; i < n; ++i)
        if ((mask[i] & 1) && !std::isnan(signal[i]))
            want.push_back(static_cast<Key>(to_key(signal[i])));
    std::vector<Key> got(n + key_pass_slack);
    const std::size_t kept = pass(signal.data(), mask.data(), n, got.data());
    got.resize(std::min(got.size(), kept));
    expect(kept == want.size() && got == want, what);
}

template <class Key>
void check_range(key_bounds<Key> (*range)(std::span<const Key>) noexcept,
                 const std::vector<Key>& keys, const std::string& what) {
    if (keys.empty()) return;
    const auto [least, greatest] = std::minmax_element(keys.begin(), keys.end());
    const key_bounds<Key> got = range(keys);
    expect(got.least == *least && got.greatest == *greatest, what);
}

void run(const variant& v) {
    std::mt19937_64 rng(2024);
    // Every length up to several vectors (all tails), then longer runs.
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = round < 2000 ? static_cast<std::size_t>(round % 70)
                                           : 70 + static_cast<std::size_t>(rng() % 3000);
        const std::vector<wide_key> keys = make_keys(rng, n);
        check_filter(v.filter, rng, keys, label(v, "filter_bracket", n, round));
        check_split(v.split, rng, keys, label(v, "split_around", n, round));
        check_nearest(v, rng, keys, label(v, "nearest", n, round));
        check_usable(v.usable64, rng, n, label(v, "append_usable<double>", n, round));
        check_usable(v.usable32, rng, n, label(v, "append_usable<float>", n, round));
        const std::vector<narrow_key> narrow = make_keys<narrow_key>(rng, n);
        check_filter(v.narrow_filter, rng, narrow, label(v, "filter_bracket narrow", n, round));
        check_split(v.narrow_split, rng, narrow, label(v, "split_around narrow", n, round));
        check_usable(v.narrow_usable, rng, n, label(v, "append_usable narrow", n, round));
        check_range(v.range, keys, label(v, "key_range", n, round));
        check_range(v.narrow_range, narrow, label(v, "key_range narrow", n, round));
        if (round < 2000) {
            check_small(v.small, keys, label(v, "select_small", n, round));
            check_small(v.narrow_small, narrow, label(v, "select_small narrow", n, round));
        }
    }
}

// Both keys of select_key_pair against a sorted copy, on tie-heavy keys and
// on distinct ones, for rank pairs equal, adjacent and far apart: the pair's
// shared passes and the split where the ranks part.
template <class Key>
void check_key_pairs(std::mt19937_64& rng) {
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = round < 1000 ? 1 + static_cast<std::size_t>(round % 100)
                                           : 100 + static_cast<std::size_t>(rng() % 5000);
        std::vector<Key> keys = make_keys<Key>(rng, n);
        if (round % 2 != 0)
            for (auto& k : keys) k = static_cast<Key>(rng());
        std::vector<Key> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t room = 2 * (n + key_pass_slack);
        std::vector<Key> work(3 * room);
        Key* const buffers[3] = {work.data(), work.data() + room, work.data() + 2 * room};
        std::size_t low = rng() % n;
        std::size_t high = round % 3 == 0 ? std::min(n - 1, low + rng() % 3) : rng() % n;
        if (high < low) std::swap(low, high);
        std::copy(keys.begin(), keys.end(), buffers[0]);
        const auto [low_key, high_key] = select_key_pair(buffers, n, low, high);
        expect(low_key == sorted[low] && high_key == sorted[high],
               "select_key_pair " + std::to_string(8 * sizeof(Key)) + "-bit n=" + std::to_string(n) + " ranks " + std::to_string(low) +
                   ", " + std::to_string(high) + " round=" + std::to_string(round));
    }
}

// The ring and a selection of the anchor path against nth_element, on a
// window that slides over a signal (with a mask and NaN) in shapes that
// move the answer: a drifting level, a sudden narrowing of the spread, runs
// of one value and both zeros, infinities and the largest values, and bit
// patterns from all over the float order. Returns the queries made.
//
// With `bounds_shift`, the ring keeps bounds of blocks of 2^bounds_shift
// slots and the selection filters through them.
template <class T, class Selector>
std::size_t check_ring_selection(std::mt19937_64& rng, int shape, std::size_t capacity,
                                 Selector& selector, const std::string& name,
                                 unsigned bounds_shift = 0) {
    using bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    const std::size_t total = 40 * capacity + 100;
    std::vector<T> signal(total);
    std::vector<std::uint8_t> mask(total);
    std::normal_distribution<double> normal;
    double level = 0.0;
    for (std::size_t i = 0; i < total; ++i) {
        level += normal(rng) * (shape == 0 ? 5.0 : 0.01);
        const double spread = shape == 1 && i > total / 2 ? 1e-6 : 1.0;
        T x = static_cast<T>(level + normal(rng) * spread);
        if (shape == 2 && rng() % 4 != 0) x = std::array<T, 4>{T(-0.0), T(0.0), T(2), T(-1)}[rng() % 4];
        if (shape == 3 && rng() % 8 == 0)
            x = std::array<T, 4>{std::numeric_limits<T>::infinity(), -std::numeric_limits<T>::infinity(),
                                 std::numeric_limits<T>::max(), -std::numeric_limits<T>::max()}[rng() % 4];
        if (shape == 4) x = std::bit_cast<T>(static_cast<bits>(rng()));  // NaN included
        // Blocks of 64 bounds slots: every key usable (but shape 4's NaN),
        // so that a full window fills the ring and its end wraps round into
        // the block its start is in.
        const bool every = bounds_shift == 6;
        if (!every && rng() % 50 == 0) x = std::numeric_limits<T>::quiet_NaN();
        signal[i] = x;
        mask[i] = static_cast<std::uint8_t>(every || rng() % 10 != 0 ? 1 : 2);
    }
    using key = typename compacted_window<T>::key;
    std::vector<key> storage(compacted_window<T>::storage_for(capacity));
    compacted_window<T> window(storage);
    std::vector<key> bounds(compacted_window<T>::bounds_for(capacity, bounds_shift));
    if (bounds_shift != 0) window.keep_bounds(bounds, bounds_shift);
    const auto unseen = [](std::span<const key>) {};
    // The window is the positions [lo, hi), at most `capacity` of them. It
    // starts only where a scan stopped, whose running total is known there.
    std::vector<std::pair<std::size_t, std::uint64_t>> stops{{0, 0}};
    std::size_t next_stop = 0;
    std::size_t lo = 0, hi = 0;
    std::size_t queries = 0;
    const std::size_t step = std::max<std::size_t>(capacity / 4, 1);
    for (int query = 0; hi < total; ++query) {
        const std::size_t want = lo + step - rng() % (step / 2 + 1);
        while (next_stop + 1 < stops.size() &&
               (stops[next_stop].first <= lo || stops[next_stop + 1].first <= want))
            ++next_stop;
        window.drop_to(stops[next_stop].second, unseen);
        lo = stops[next_stop].first;
        while (hi < std::min(total, lo + capacity)) {
            const std::size_t to = std::min({total, lo + capacity, hi + 1 + static_cast<std::size_t>(rng() % 40)});
            window.append(signal.data(), mask.data(), hi, to, unseen);
            hi = to;
            stops.emplace_back(hi, window.total());
        }
        std::vector<key> sorted;
        for (std::size_t i = lo; i < hi; ++i)
            if ((mask[i] & 1) && signal[i] == signal[i])
                sorted.push_back(static_cast<key>(to_key(signal[i])));
        if (sorted.empty()) continue;
        const std::size_t size = sorted.size();
        const std::size_t rank = query % 4 == 0   ? size / 10
                                 : query % 4 == 1 ? size - 1
                                 : query % 4 == 2 ? rng() % (size / 100 + 1)  // near the minimum
                                                  : rng() % size;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(rank), sorted.end());
        const std::string what = name + (sizeof(T) == 8 ? " double" : " float") +
                                 " shape=" + std::to_string(shape) + " capacity=" + std::to_string(capacity) +
                                 " query=" + std::to_string(query) + " rank=" + std::to_string(rank);
        if (window.count() != size) {
            expect(false, what + " ring count");
            return queries;
        }
        expect(selector.select(window.first_part(), window.second_part(), rank, &window) == sorted[rank], what);
        ++queries;
    }
    return queries;
}

// Both selections of the anchor path. The sampled one also with a zero
// margin, whose brackets often miss, so that its whole-window selection is
// checked as well; with its usual margin a miss must stay rare, or a fault in
// the bracket would hide behind that slower path.
template <class T>
void check_anchor_selections(std::mt19937_64& rng, int shape, std::size_t capacity) {
    using key = typename compacted_window<T>::key;
    std::vector<key> work(sampled_selector<key>::storage_for(capacity));
    const std::string where = std::string(sizeof(T) == 8 ? " double" : " float") +
                              " shape=" + std::to_string(shape) + " capacity=" + std::to_string(capacity);
    tracking_selector<key> tracking(work, capacity);
    check_ring_selection<T>(rng, shape, capacity, tracking, "tracking_selector");
    sampled_selector<key> sampled(work, capacity);
    const std::size_t queries = check_ring_selection<T>(rng, shape, capacity, sampled, "sampled_selector");
    expect(sampled.misses() <= queries / 50, "sampled_selector misses " + std::to_string(sampled.misses()) +
                                                 " of " + std::to_string(queries) + where);
    // Its brackets narrow to how far answers strayed: almost always on the
    // levels that move (shapes 0 and 1), and seldom too far.
    expect(sampled.narrowed_misses() <= queries / 20,
           "sampled_selector narrowed misses " + std::to_string(sampled.narrowed_misses()) + where);
    if (shape <= 1 && capacity >= 3000)
        expect(sampled.narrowed_hits() >= queries / 2,
               "sampled_selector narrowed hits " + std::to_string(sampled.narrowed_hits()) + where);
    // Blocks of 4 and of 64 slots: most wholly in a window, some cut by its ends.
    if (capacity <= 3000) {
        sampled_selector<key> bounded(work, capacity);
        check_ring_selection<T>(rng, shape, capacity, bounded, "sampled_selector bounds=4", 2);
        check_ring_selection<T>(rng, shape, capacity, bounded, "sampled_selector bounds=64", 6);
    }
    sampled_selector<key> exhaustive(work, capacity, 0.0);
    check_ring_selection<T>(rng, shape, capacity, exhaustive, "sampled_selector margin=0");
    if (capacity >= 3000)
        expect(exhaustive.misses() > 0, "sampled_selector margin=0 never missed" + where);
}

// sort_few against std::sort for every length it takes, on tie-heavy keys
// with the extremes and on distinct ones: sorted in place, and not a slot
// past the keys written. Where the processor has no variant it must say so
// and leave the keys alone.
void check_sort_few(std::mt19937_64& rng) {
    for (int round = 0; round < 1300; ++round) {
        const std::size_t n = static_cast<std::size_t>(round) % (sort_few_limit + 1);
        std::vector<narrow_key> keys = make_keys<narrow_key>(rng, n + key_pass_slack);
        if (round % 2 != 0)
            for (auto& k : keys) k = static_cast<narrow_key>(rng());
        std::vector<narrow_key> want = keys;
        const bool sorted = sort_few(std::span<narrow_key>(keys.data(), n));
        if (sorted) std::sort(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(n));
        expect(sorted == sorts_few() && keys == want,
               "sort_few n=" + std::to_string(n) + " round=" + std::to_string(round));
    }
}

}  // namespace

// The sorted window's insert, remove and branch-free replace against sorting
// the window's keys anew, on short windows of few distinct values (ties,
// both zeros, infinities and unusable positions), growing, sliding and
// shrinking. The sentinels around the order must hold after every step.
template <class T>
void check_sorted_keys(std::mt19937_64& rng) {
    using keys = sorted_keys<T>;
    using key = typename keys::key;
    const T inf = std::numeric_limits<T>::infinity();
    const T values[] = {-inf, T(-2), T(-0.0), T(0), T(1.5), T(1.5), T(7), inf};
    const auto draw = [&]() -> key {
        const std::uint64_t r = rng() % 10;
        return r >= 8 ? keys::unusable : static_cast<key>(to_key(values[r]));
    };
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t length = 1 + rng() % sorted_window_limit;
        key order[sorted_window_limit + 2];
        order[0] = keys::below_all;
        order[1] = keys::unusable;
        key* sorted = order + 1;
        std::vector<key> window;
        bool ok = true;
        const auto matches = [&] {
            std::vector<key> want = window;
            std::sort(want.begin(), want.end());
            return std::equal(want.begin(), want.end(), sorted) && order[0] == keys::below_all &&
                   sorted[window.size()] == keys::unusable;
        };
        for (std::size_t i = 0; i < length; ++i) {
            const key k = draw();
            keys::insert(sorted, window.size(), k);
            window.push_back(k);
            ok = ok && matches();
        }
        for (int step = 0; step < 60; ++step) {
            const key entering = draw();
            keys::replace(sorted, window.size(), window.front(), entering);
            window.erase(window.begin());
            window.push_back(entering);
            ok = ok && matches();
        }
        while (!window.empty()) {
            keys::remove(sorted, window.size(), window.front());
            window.erase(window.begin());
            ok = ok && matches();
        }
        expect(ok, std::string("sorted window keys, ") + (sizeof(T) == 8 ? "float64" : "float32") +
                       " length " + std::to_string(length));
    }
}

// rank_stretch against a stable sort of the full keys, on stretches whose
// usable keys fall on both sides of short_stretch_keys (digits of 8 and of 11
// bits) and whose key ranges make 1 to 4 digits (a narrow range, a drift and
// outliers that cut the offsets to 32 bits).
template <class T>
void check_rank_stretches(std::mt19937_64& rng) {
    const std::size_t limit = short_stretch_keys;
    for (const std::size_t usable_keys : {std::size_t{1}, std::size_t{300}, limit - 1, limit,
                                          limit + 1, std::size_t{9000}})
        for (int shape = 0; shape < 4; ++shape) {
            const std::size_t length = usable_keys + usable_keys / 8 + 3;  // some unusable
            std::vector<T> signal(length);
            std::vector<std::uint8_t> mask(length, 1);
            std::normal_distribution<double> noise(0.0, 1.0);
            double level = 0.0;
            for (std::size_t i = 0; i < length; ++i) {
                level += noise(rng) * 0.05;
                double x = shape == 0   ? std::floor(noise(rng) * 20.0) / 64.0  // few digits, ties
                           : shape == 1 ? level + noise(rng)
                           : shape == 2 ? 1e4 + level * 1e-9
                                        : noise(rng) * 1e30;
                if (shape >= 2 && rng() % 300 == 0) x = (rng() % 2 != 0 ? 1e300 : -1e-300);
                if (shape == 3 && rng() % 50 == 0)
                    x = rng() % 2 != 0 ? 0.0 : -0.0;
                signal[i] = static_cast<T>(x);
            }
            // Exactly usable_keys usable samples: the rest masked out or NaN.
            std::vector<std::size_t> order(length);
            for (std::size_t i = 0; i < length; ++i) order[i] = i;
            std::shuffle(order.begin(), order.end(), rng);
            for (std::size_t i = usable_keys; i < length; ++i) {
                if (i % 2 == 0) mask[order[i]] = 2;  // a false mask byte
                else signal[order[i]] = std::numeric_limits<T>::quiet_NaN();
            }
            std::vector<std::uint64_t> full(length), packed(length), spare(length);
            std::vector<std::uint32_t> rank_of(length);
            std::vector<T> sorted(length);
            const std::size_t count = rank_stretch(signal.data(), mask.data(), 0, length,
                                                   full.data(), packed.data(), spare.data(),
                                                   rank_of.data(), sorted.data());
            std::vector<std::pair<wide_key, std::size_t>> want;
            for (std::size_t i = 0; i < length; ++i)
                if (mask[i] == 1 && signal[i] == signal[i]) want.push_back({to_key(signal[i]), i});
            std::sort(want.begin(), want.end());
            bool ok = count == want.size();
            for (std::size_t r = 0; ok && r < count; ++r)
                ok = to_key(sorted[r]) == want[r].first &&
                     to_key(signal[want[r].second]) == to_key(sorted[rank_of[want[r].second]]);
            std::vector<bool> seen(count + 1, false);
            for (std::size_t i = 0; ok && i < length; ++i) {
                const bool usable = mask[i] == 1 && signal[i] == signal[i];
                ok = usable ? rank_of[i] < count && !seen[rank_of[i]] : rank_of[i] == count;
                if (ok && usable) seen[rank_of[i]] = true;
            }
            expect(ok, std::string("rank stretch, ") + (sizeof(T) == 8 ? "float64" : "float32") +
                           " usable " + std::to_string(usable_keys) + " shape " +
                           std::to_string(shape));
        }
}

int main() {
    std::mt19937_64 sorted_rng(20261209);
    check_sorted_keys<double>(sorted_rng);
    check_sorted_keys<float>(sorted_rng);
    check_rank_stretches<double>(sorted_rng);
    check_rank_stretches<float>(sorted_rng);
    const variant portable{"portable",
                           detail::filter_bracket_portable,
                           detail::split_around_portable,
                           detail::next_above_portable,
                           detail::next_below_portable,
                           detail::append_usable_portable,
                           detail::append_usable_portable,
                           detail::filter_bracket_portable,
                           detail::split_around_portable,
                           detail::append_usable_portable,
                           detail::select_small_portable,
                           detail::select_small_portable,
                           detail::key_range_portable,
                           detail::key_range_portable};
    run(portable);
    std::printf("ran portable\n");
#if defined(__x86_64__)
    const variant avx2{"avx2",
                       detail::filter_bracket_avx2,
                       detail::split_around_avx2,
                       detail::next_above_avx2,
                       detail::next_below_avx2,
                       detail::append_usable_avx2,
                       detail::append_usable_avx2,
                       detail::filter_bracket_avx2,
                       detail::split_around_avx2,
                       detail::append_usable_avx2,
                       detail::select_small_avx2,
                       detail::select_small_avx2,
                       detail::key_range_avx2,
                       detail::key_range_avx2};
    const variant avx512{"avx512",
                         detail::filter_bracket_avx512,
                         detail::split_around_avx512,
                         detail::next_above_avx512,
                         detail::next_below_avx512,
                         detail::append_usable_avx512,
                         detail::append_usable_avx512,
                         detail::filter_bracket_avx512,
                         detail::split_around_avx512,
                         // The narrow append is AVX2's on these processors too.
                         detail::append_usable_avx2,
                         detail::select_small_avx512,
                         detail::select_small_avx2,
                         detail::key_range_avx512,
                         detail::key_range_avx2};
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) {
        run(avx2);
        std::printf("ran avx2\n");
    }
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("popcnt")) {
        run(avx512);
        std::printf("ran avx512\n");
    }
#endif
    // The dispatching entry points use the variant chosen for this processor.
    const variant chosen{"chosen",      filter_bracket,        split_around,
                         next_above,    next_below,            append_usable<double>,
                         append_usable<float>, filter_bracket, split_around,
                         append_usable,        select_small,          select_small,
                         key_range,            key_range};
    run(chosen);
    std::mt19937_64 pair_rng(5);
    check_key_pairs<wide_key>(pair_rng);
    check_key_pairs<narrow_key>(pair_rng);
    check_sort_few(pair_rng);
    // Windows of about a thousand keys take a sample small enough to sort.
    std::mt19937_64 rng(77);
    for (const std::size_t capacity : {std::size_t{5}, std::size_t{200}, std::size_t{1100},
                                       std::size_t{3000}, std::size_t{70000}})
        for (int shape = 0; shape < 5; ++shape) {
            check_anchor_selections<double>(rng, shape, capacity);
            check_anchor_selections<float>(rng, shape, capacity);
        }
    std::printf("ran anchor selections\n");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

// The kernel at the anchors of a piece: a ring of usable keys and a selection per anchor.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <tuple>

#include "baseline/anchor_window.hpp"
#include "baseline/fallback_fill.hpp"
#include "baseline/float_keys.hpp"
#include "baseline/window_runs.hpp"
#include "core/buffer.hpp"

namespace vorn::baseline {

namespace {

// Window starts of anchors ahead of the current one, kept until their anchor
// comes up. The starts recorded ahead lie within the current anchor's
// window, 2h long, and anchors stand step = max(floor(W / 4), 1) apart, so
// at most 2h / step + 1 <= 7 are pending (W >= 4 gives 2h / step <= 6, W = 2
// and 3 give 2).
constexpr std::size_t pending_starts = 16;

// Windows of up to this many keys fall back on the tracking bracket
// (anchor_window.hpp) where a held bracket misses; the tracking bracket
// costs nothing per sample and on noisy windows of this size nearly always
// holds the answer. Wider windows bracket the
// rank from a sample of the window (sampled_selector): a tracking miss there
// costs a pass over a window that no longer fits the caches, while the
// sample's bracket holds whatever the level does. Against counts of keys per
// bucket of values, kept up to date as keys enter and leave, the sample took
// 0.2 to 0.65 of the time at W = 100,001 and 1,000,001 on 10^7 samples (one
// worker, five signal shapes, both element types).
constexpr std::size_t tracking_window_limit = std::size_t{1} << 16;

// Slots per block of the window ring's bounds (a power of two), where the
// sampled selection filters it (see key_ring::keep_bounds). Each anchor's
// filter passed over the whole window; on 10^7 samples at W = 1,000,001
// (two cores, least of 10 calls, builds alternated) a random walk took
// 19.3-20.2 ms instead of 24.8-26.4 in float64 and 12.5-12.7 instead of
// 16.3-16.5 in float32, the half-masked walk 17.2-17.4 instead of
// 20.7-21.5 and a slow sine 22.1-22.5 instead of 25.5. Where every block
// straddles the bracket (white noise, a decay under noise) the bounds only
// cost: 0.6-1.0 ms more on white noise in float64 at that width, 0.7-0.9 ms
// on the decay at W = 100,001.
constexpr unsigned bounds_shift = 10;

// Windows of up to this many keys hold narrower brackets (see choose_bracket).
constexpr std::size_t narrow_bracket_limit = 4096;

// Keys in the sample a bracket of a wider window is chosen from.
constexpr std::size_t sample_keys = 4096;

// Windows up to this many keys hold a bracket across anchors
// (ring_anchors); wider ones select each anchor from a sample of its own. A
// held bracket drawn from a sample of the wider windows keeps tens of
// thousands of keys, and their anchors are few per piece: on 10^7 samples,
// two cores, it took 17.2-17.3 ms instead of 20.3-20.8 at W = 100,001
// (float32 white noise; 21.7 instead of 29.8-30.0 for float64), the same
// on a random walk, but 27.2-27.5 instead of 22.5 at W = 1,000,001 (random
// walk 31.2-31.8 instead of 25.0-25.2).
constexpr std::size_t held_window_limit = std::size_t{1} << 18;

// Anchors [first, stop) from the ring of usable keys (anchor_window.hpp)
// and, where `may_hold` (windows up to held_window_limit keys), a bracket
// held across anchors (bracket_ring). Neighbouring windows share three
// quarters of their keys, and on a signal whose level moves slowly against
// its spread the key of the asked rank stays among the same few dozen
// ranks for many anchors. A bracket of keys around it, chosen once, is then
// filtered only as keys enter (each key once, not once per window it falls
// in), and an anchor costs a selection among the bracket's keys. When the
// rank falls outside the bracket the Selector answers (the tracking
// selection up to tracking_window_limit keys, the sampled one above), and a
// new bracket is chosen around that answer, 4 standard deviations of a
// sampled rank wide (plus 16 ranks) on either side; where brackets keep
// missing within a few anchors (a level that moves as fast as the window
// spreads), the Selector alone serves the next anchors. Which path runs
// changes the time, never the answer: the key of a given rank is unique.
//
// Keys of positions before `owned_end` also go to `owned` (if any).
template <class T, class Selector>
void ring_anchors(const window_inputs<T>& in, std::uint64_t step, std::size_t first,
                  std::size_t stop, std::size_t capacity, bool may_hold, double* out,
                  typename median_tally<T>::part* owned, std::size_t owned_end,
                  anchor_claims* claims) {
    using key = typename compacted_window<T>::key;
    // The scratch grows with the window, its pages touched only as far as
    // they are used: the window ring and the Selector's buffers, about four
    // keys per window slot, and where a bracket may be held, the bracket
    // ring and three buffers of twice a window for select_key_pair, seven
    // more.
    const std::size_t ring_slots = compacted_window<T>::storage_for(capacity);
    const std::size_t work_slots = Selector::storage_for(capacity);
    const std::size_t held_slots = bracket_ring<key>::storage_for(may_hold ? capacity : 0);
    const std::size_t room = may_hold ? 2 * (capacity + key_pass_slack) : 0;
    constexpr bool sampled = std::is_same_v<Selector, sampled_selector<key>>;
    const std::size_t bounds_slots =
        sampled ? compacted_window<T>::bounds_for(capacity, bounds_shift) : 0;
    core::owned_buffer<key> storage(ring_slots + work_slots + held_slots + 3 * room +
                                    bounds_slots);
    key* const base = storage.data();
    compacted_window<T> window({base, ring_slots});
    if (sampled)
        window.keep_bounds({base + ring_slots + work_slots + held_slots + 3 * room, bounds_slots},
                           bounds_shift);
    Selector selection({base + ring_slots, work_slots}, capacity);
    bracket_ring<key> held({base + ring_slots + work_slots, held_slots});
    key* const scratch = base + ring_slots + work_slots + held_slots;
    key* const buffers[3] = {scratch, scratch + room, scratch + 2 * room};

    // Whether `held` follows the window (its bracket is in force), how many
    // anchors it has answered since it was chosen, and how many more
    // anchors the Selector serves alone after brackets missed fast.
    // A pause doubles with every bracket that misses fast in a row, so that
    // a level moving fast all along (a random walk) soon stops paying for
    // brackets, and is back to its shortest after one that holds.
    bool holding = false;
    std::size_t answered = 0;
    std::size_t paused = 0;
    constexpr std::size_t quick_miss = 16;
    constexpr std::size_t shortest_pause = 32;
    constexpr std::size_t longest_pause = 1024;
    std::size_t pause = shortest_pause;
    constexpr std::size_t held_window_floor = 64;

    const auto take_new = [&](std::span<const key> keys) {
        if (holding) held.take(keys);
    };
    const auto unseen = [](std::span<const key>) {};

    const T* signal = in.signal.data();
    const std::uint8_t* mask = in.mask.data();
    const auto start_of = [&](std::size_t k) { return in.window_lo(k * step); };

    // A window start's running totals: of the window ring and of the
    // bracket ring (below and kept), recorded when the scan reaches it.
    struct mark {
        std::uint64_t keys;
        std::uint64_t below;
        std::uint64_t kept;
    };
    mark starts[pending_starts];
    std::size_t recorded = first;
    std::size_t position = start_of(first);
    const auto record_starts = [&] {
        while (recorded < stop && start_of(recorded) <= position) {
            starts[recorded % pending_starts] = {window.total(), held.below(), held.total()};
            ++recorded;
        }
    };
    const auto scan_to = [&](std::size_t target) {
        while (position < target) {
            std::size_t until = target;
            if (recorded < stop) until = std::min(until, start_of(recorded));
            if (position < owned_end) {
                until = std::min(until, owned_end);
                window.append(signal, mask, position, until, [&](std::span<const key> keys) {
                    take_new(keys);
                    owned->take(keys);
                });
                owned->cover(until - position);
            } else {
                window.append(signal, mask, position, until, take_new);
            }
            position = until;
            record_starts();
        }
    };
    record_starts();

    // A new bracket around rank `rank` of anchor k's window (count keys),
    // filtered over the window and the recorded starts within it redone.
    // Its ends are the keys `reach` ranks away, selected from the window;
    // in windows too wide for a selection per bracket, from a sample of
    // it, as the sampled selection takes them: up to 4096 keys, the reach
    // in sample ranks plus two standard deviations of a sampled rank. (On
    // windows of 10^3 to 10^4 keys such a bracket kept more keys per anchor
    // and took longer on noise.)
    //
    // The reach is 4 standard deviations of a sampled rank plus 16 ranks, and
    // 3 plus 8 in windows of up to narrow_bracket_limit keys: there every
    // anchor selects among the bracket's keys, and a new bracket after a
    // miss costs little. At W = 1,001 on 10^7 samples (two cores, least of
    // 10, builds alternated) float32 white noise took 16.2-16.4 ms instead
    // of 16.6-16.9, a noisy decay 16.0-16.3 instead of 16.6-17.0 and float64
    // white noise 19.6-19.8 instead of 20.1-20.6; at W = 10,001 the narrower
    // bracket took 0.2-0.5 ms longer (a new bracket selects from 10^4 keys).
    const auto choose_bracket = [&](std::size_t k, std::size_t count, std::size_t rank) {
        const double q = (static_cast<double>(rank) + 0.5) / static_cast<double>(count);
        const bool narrow = count <= narrow_bracket_limit;
        const double reach = (narrow ? 3.0 : 4.0) *
                                 std::sqrt(static_cast<double>(count) * q * (1.0 - q)) +
                             (narrow ? 8.0 : 16.0);
        std::size_t length = count;
        double below = static_cast<double>(rank) - std::floor(reach);
        double above = static_cast<double>(rank) + std::floor(reach);
        if (count <= tracking_window_limit) {
            window.copy_to(buffers[0]);
        } else {
            const std::span<const key> first_part = window.first_part();
            const std::span<const key> second_part = window.second_part();
            const std::size_t stride = (count + sample_keys - 1) / sample_keys;
            length = 0;
            for (std::size_t i = stride / 2; i < count; i += stride)
                buffers[0][length++] =
                    i < first_part.size() ? first_part[i] : second_part[i - first_part.size()];
            const double size = static_cast<double>(length);
            const double spread = reach / static_cast<double>(stride) +
                                  2.0 * std::sqrt(size * q * (1.0 - q)) + 2.0;
            below = std::floor(q * size - spread);
            above = std::ceil(q * size + spread);
        }
        key low = std::numeric_limits<key>::min();
        key high = std::numeric_limits<key>::max();
        const bool bounded_below = below >= 0.0;
        const bool bounded_above = above < static_cast<double>(length);
        const auto low_rank = static_cast<std::size_t>(bounded_below ? below : 0.0);
        const auto high_rank = static_cast<std::size_t>(bounded_above ? above : 0.0);
        if (bounded_below && bounded_above) {
            std::tie(low, high) = select_key_pair(buffers, length, low_rank, high_rank);
        } else if (bounded_below) {
            low = select_key(buffers, length, low_rank);
        } else if (bounded_above) {
            high = select_key(buffers, length, high_rank);
        }
        held.reset(low, high);
        for (std::size_t j = k; j < recorded; ++j) {
            mark& at = starts[j % pending_starts];
            at.below = held.below();
            at.kept = held.total();
            const std::uint64_t end =
                j + 1 < recorded ? starts[(j + 1) % pending_starts].keys : window.total();
            for (const std::span<const key> part : window.between(at.keys, end)) held.take(part);
        }
    };

    rank_cache rank(in.percentile);
    for (std::size_t k = first; k < stop; ++k) {
        if (claims != nullptr && !claims->claim(k)) break;
        // Consecutive windows overlap or touch (step <= 2h), so this
        // window's start was recorded while scanning the previous one.
        const mark& start = starts[k % pending_starts];
        window.drop_to(start.keys, unseen);
        if (holding) held.drop_to(start.kept);
        scan_to(in.window_hi(k * step));
        const std::size_t count = window.count();
        if (count == 0) {
            out[k - first] = static_cast<double>(in.fallback_value());
            continue;
        }
        const std::size_t r = rank(count);
        if (holding) {
            const auto below = static_cast<std::size_t>(held.below() - start.below);
            const std::size_t kept = held.count();
            if (below <= r && r < below + kept && kept <= count / 4) {
                held.copy_to(buffers[0]);
                out[k - first] =
                    static_cast<double>(from_key<T>(select_key(buffers, kept, r - below)));
                ++answered;
                continue;
            }
        }
        const key result = selection.select(window.first_part(), window.second_part(), r, &window);
        out[k - first] = static_cast<double>(from_key<T>(result));  // exact for float32
        bool renew = false;
        if (holding) {  // the bracket missed
            holding = false;
            if (answered < quick_miss) {
                paused = pause;
                pause = std::min(2 * pause, longest_pause);
            } else {
                pause = shortest_pause;
                renew = true;
            }
        } else if (paused != 0) {
            --paused;
        } else {
            renew = true;
        }
        // Only where the level looks steady (for the tracking selection:
        // its first bracket held, the level moved no more than it had been).
        if (renew && may_hold && count >= held_window_floor && selection.steady()) {
            choose_bracket(k, count, r);
            holding = true;
            answered = 0;
        }
    }
}

}  // namespace

template <class T>
void anchor_run(const window_inputs<T>& in, std::uint64_t step, std::size_t first,
                std::span<double> out, median_tally<T>* tally, anchor_claims* claims) {
    const std::size_t end = first + out.size();
    if (in.half_window == 0) {
        for (std::size_t j = 0; j < out.size(); ++j) {
            if (claims != nullptr && !claims->claim(first + j)) break;
            out[j] = static_cast<double>(in.fallback_value());
        }
        return;
    }
    // The first anchor at or past the first position whose window is short.
    const std::size_t short_position = in.first_short_position();
    const std::size_t short_anchor = static_cast<std::size_t>(
        short_position / step + (short_position % step != 0 ? 1 : 0));
    const std::size_t stop = std::min(end, std::max(first, short_anchor));
    if (first < stop) {
        // No window holds more than min(2h, n) samples; 2h cannot wrap.
        const std::size_t capacity = static_cast<std::size_t>(
            std::min<std::uint64_t>(2 * in.half_window, in.signal.size()));
        using key = typename compacted_window<T>::key;
        const bool may_hold = capacity <= held_window_limit;
        // The positions this piece owns end where the next piece's first
        // window starts. Consecutive windows overlap (step <= 2h) and the
        // last anchor's window reaches the signal's end (step <= h), so the
        // scan passes them all.
        std::optional<typename median_tally<T>::part> owned;
        std::size_t owned_end = 0;
        if (tally != nullptr) {
            owned.emplace(*tally);
            const std::size_t n = in.signal.size();
            owned_end = end >= (n + step - 1) / step ? n : in.window_lo(end * step);
        }
        typename median_tally<T>::part* const part = owned ? &*owned : nullptr;
        if (capacity <= tracking_window_limit) {
            ring_anchors<T, tracking_selector<key>>(in, step, first, stop, capacity, may_hold,
                                                    out.data(), part, owned_end, claims);
        } else {
            ring_anchors<T, sampled_selector<key>>(in, step, first, stop, capacity, may_hold,
                                                   out.data(), part, owned_end, claims);
        }
        if (owned) tally->merge(*owned);
    }
    if (stop < end) in.fail_short_mask(stop * step);
}

template void anchor_run<double>(const window_inputs<double>&, std::uint64_t, std::size_t,
                                 std::span<double>, median_tally<double>*, anchor_claims*);
template void anchor_run<float>(const window_inputs<float>&, std::uint64_t, std::size_t,
                                std::span<double>, median_tally<float>*, anchor_claims*);

}  // namespace vorn::baseline

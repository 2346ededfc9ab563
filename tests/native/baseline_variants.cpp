// The whole baseline pipeline, built with whichever key-pass variant the
// compiler flags allow, and run serially over pieces of random lengths in a
// shuffled order instead of on the worker pool.
//
//   baseline_variants <case file> <output file> <split seed>
//
// A case file holds: u64 element size (8 or 4), u64 n, u64 window, f64
// percentile, then n samples and n mask bytes. The output file gets the n
// baseline values, or the fault's message and exit status 2. Standard output
// names the key-pass variant in use (alone, when run without arguments).
//
//   baseline_variants masked-runs
//
// checks the search for masked runs, whole and in stretches (on the serial
// pool below), against a plain scan, and names the first disagreement.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "baseline/fallback_fill.hpp"
#include "baseline/key_passes.hpp"
#include "baseline/percentile_baseline.hpp"
#include "baseline/pool.hpp"

namespace {
std::uint64_t split_seed = 0;
}

namespace vorn::baseline::pool::pool_detail {

// Contiguous pieces of 1 to 2 x min_piece indices (a whole chunk loop in
// pieces of one or two chunks), run in a shuffled order; the fault of the
// lowest-starting failing piece is rethrown after all have run, as the pool does.
void run_pieces(std::size_t count, std::size_t min_piece, piece_function piece, void* context) {
    std::mt19937_64 rng(split_seed * 1000003 + count);
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    for (std::size_t begin = 0; begin < count;) {
        const std::size_t length = std::min<std::size_t>(1 + rng() % (2 * min_piece), count - begin);
        pieces.emplace_back(begin, begin + length);
        begin += length;
    }
    std::shuffle(pieces.begin(), pieces.end(), rng);
    std::size_t lowest = count;
    std::exception_ptr fault;
    for (const auto& [begin, end] : pieces) {
        try {
            piece(context, begin, end);
        } catch (...) {
            if (begin < lowest) lowest = begin, fault = std::current_exception();
        }
    }
    if (fault) std::rethrow_exception(fault);
}

}  // namespace vorn::baseline::pool::pool_detail

namespace vorn::baseline::pool {

// Odd split seeds stand for one worker, even ones for many: the driver's
// choice between the fused pass and the separate ones (which depends on the
// worker count) then gets both sides on the same case.
std::size_t worker_count() noexcept { return split_seed % 2 == 1 ? 1 : 64; }

}  // namespace vorn::baseline::pool

namespace {

template <class T>
int run(std::FILE* in, std::FILE* out, std::uint64_t n, std::uint64_t window, double percentile) {
    std::vector<T> signal(n);
    std::vector<std::uint8_t> mask(n);
    if (std::fread(signal.data(), sizeof(T), n, in) != n ||
        std::fread(mask.data(), 1, n, in) != n)
        return 3;
    try {
        const auto result = vorn::baseline::percentile_baseline<T>(
            {signal.data(), signal.size()}, {mask.data(), mask.size()}, window, percentile);
        std::fwrite(result.data(), sizeof(T), result.size(), out);
        return 0;
    } catch (const std::exception& e) {
        std::fputs(e.what(), out);
        return 2;
    }
}

// Masks of false blocks about `run` long, some straddling the stretches'
// borders, with bytes whose high bits are set (only the low bit counts).
int check_masked_runs() {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 4000; ++round) {
        const std::size_t n = 1 + rng() % 3000;
        const std::size_t run = 2 + rng() % 150;
        const std::size_t parts = 1 + rng() % 7;
        std::vector<std::uint8_t> mask(n);
        const bool sparse = rng() % 2 == 0;
        for (auto& byte : mask) {
            const unsigned truth = rng() % 4 != 0 || sparse ? 1 : 0;
            byte = static_cast<std::uint8_t>(truth | (rng() % 2) << 1 | (rng() % 2) << 7);
        }
        for (int block = static_cast<int>(rng() % 4); block > 0; --block) {
            const std::size_t length = run - 1 + rng() % 3;
            std::size_t at = rng() % n;
            if (rng() % 2 == 0 && parts > 1) {  // across a border, or ending at one
                const std::size_t border = (1 + rng() % (parts - 1)) * (n / parts);
                at = border - std::min(border, static_cast<std::size_t>(rng() % (length + 1)));
            }
            for (std::size_t i = at; i < std::min(n, at + length); ++i) mask[i] &= 0xFE;
        }
        std::size_t longest = 0;
        for (std::size_t i = 0, length = 0; i < n; ++i) {
            length = (mask[i] & 1) != 0 ? 0 : length + 1;
            longest = std::max(longest, length);
        }
        const bool want = longest >= run;
        const std::span<const std::uint8_t> view(mask.data(), n);
        const bool whole = vorn::baseline::has_masked_run(view, run);
        split_seed = static_cast<std::uint64_t>(round);
        const bool stretched = vorn::baseline::has_masked_run(view, run, parts);
        if (whole != want || stretched != want) {
            std::printf("masked run n=%zu run=%zu parts=%zu longest=%zu: "
                        "whole %d, in parts %d\n",
                        n, run, parts, longest, whole, stretched);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    static const char* const names[] = {"portable", "avx2", "avx512"};
    std::printf("%s\n", names[static_cast<int>(vorn::baseline::key_passes_detail::chosen_isa())]);
    if (argc == 2 && std::string_view(argv[1]) == "masked-runs") return check_masked_runs();
    if (argc != 4) return argc == 1 ? 0 : 3;
    split_seed = std::strtoull(argv[3], nullptr, 10);
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (in == nullptr || out == nullptr) return 3;
    std::uint64_t header[3];
    double percentile;
    if (std::fread(header, sizeof header, 1, in) != 1 || std::fread(&percentile, 8, 1, in) != 1)
        return 3;
    const int status = header[0] == 8 ? run<double>(in, out, header[1], header[2], percentile)
                                      : run<float>(in, out, header[1], header[2], percentile);
    std::fclose(out);
    std::fclose(in);
    return status;
}

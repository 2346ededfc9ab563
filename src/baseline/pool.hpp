// The three parallel loop shapes of the baseline driver, on the worker pool.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace vorn::baseline::pool {

// The pool is oneTBB's default arena: one worker per processor in the
// process's affinity mask, started on the first loop that has more than one
// element and never torn down. This header keeps oneTBB out of its users;
// only pool.cpp includes it.
//
// Every loop blocks the calling thread until all pieces have ended. An
// exception thrown in a piece ends that piece only; the other pieces still
// run to their end (oneTBB would cancel them), and afterwards the exception
// of the failing piece with the lowest start index is rethrown on the calling
// thread. A loop over a single element runs directly on the calling thread.

namespace pool_detail {

using piece_function = void (*)(void* context, std::size_t begin, std::size_t end);

// Covers [0, count) with contiguous pieces, as oneTBB's adaptive splitting
// (no minimum piece length) chooses them, and calls `piece` once per piece.
void run_pieces(std::size_t count, piece_function piece, void* context);

template <class Piece>
void run_pieces(std::size_t count, Piece& piece) {
    run_pieces(
        count,
        [](void* context, std::size_t begin, std::size_t end) {
            (*static_cast<Piece*>(context))(begin, end);
        },
        &piece);
}

}  // namespace pool_detail

// Shape 1: body(state, i) for every i in [0, count), ascending within a piece.
// Each piece makes its state with make_state() before its first index and
// destroys it after its last, so per-piece buffers are reused across indices
// and released as soon as the piece is done.
template <class MakeState, class Body>
void for_each_index(std::size_t count, MakeState&& make_state, Body&& body) {
    auto piece = [&](std::size_t begin, std::size_t end) {
        auto state = make_state();
        for (std::size_t i = begin; i < end; ++i) body(state, i);
    };
    pool_detail::run_pieces(count, piece);
}

// Shape 1 without per-piece state: body(i) for every i in [0, count).
template <class Body>
void for_each_index(std::size_t count, Body&& body) {
    auto piece = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) body(i);
    };
    pool_detail::run_pieces(count, piece);
}

// Shape 2: out[i] = body(state, i) for every slot of the pre-sized `out`;
// each result lands at its own index whatever the scheduling.
template <class R, class MakeState, class Body>
void map_into(std::span<R> out, MakeState&& make_state, Body&& body) {
    for_each_index(out.size(), make_state,
                   [&](auto& state, std::size_t i) { out[i] = body(state, i); });
}

// Shape 3: body(chunk_index, chunk) for the consecutive chunks of `buffer`,
// each `chunk_length` long except possibly the last. Pieces consist of whole
// chunks, so work that restarts at chunk boundaries does not depend on the
// split.
template <class U, class Body>
void for_each_chunk(std::span<U> buffer, std::size_t chunk_length, Body&& body) {
    const std::size_t length = buffer.size();
    const std::size_t chunks = length / chunk_length + (length % chunk_length != 0 ? 1 : 0);
    for_each_index(chunks, [&](std::size_t chunk_index) {
        const std::size_t begin = chunk_index * chunk_length;
        body(chunk_index, buffer.subspan(begin, std::min(chunk_length, length - begin)));
    });
}

}  // namespace vorn::baseline::pool

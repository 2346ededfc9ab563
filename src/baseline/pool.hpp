// The three parallel loop shapes of the baseline driver, on the worker pool.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace vorn::baseline::pool {

// The pool is oneTBB's default arena: one worker per processor in the
// process's affinity mask, started on the first loop that has more than one
// piece and never torn down. This header keeps oneTBB out of its users;
// only pool.cpp includes it.
//
// Every loop blocks the calling thread until all pieces have ended. An
// exception thrown in a piece ends that piece only; the other pieces still
// run to their end (oneTBB would cancel them), and afterwards the exception
// of the failing piece with the lowest start index is rethrown on the calling
// thread. A loop of a single piece runs directly on the calling thread.

namespace pool_detail {

using piece_function = void (*)(void* context, std::size_t begin, std::size_t end);

// Covers [0, count) with contiguous pieces of at least min_piece indices
// (fewer only when count is), as oneTBB's adaptive splitting chooses them,
// and calls `piece` once per piece.
void run_pieces(std::size_t count, std::size_t min_piece, piece_function piece, void* context);

template <class Piece>
void run_pieces(std::size_t count, std::size_t min_piece, Piece& piece) {
    run_pieces(
        count, min_piece,
        [](void* context, std::size_t begin, std::size_t end) {
            (*static_cast<Piece*>(context))(begin, end);
        },
        &piece);
}

}  // namespace pool_detail

// The number of workers a loop can run on at once (the processors in the
// process's affinity mask), for callers that choose between a pass that
// splits finely and one whose pieces are few but cheaper.
std::size_t worker_count() noexcept;

// Shapes 1 and 2: body(begin, end) once per contiguous piece of [0, count),
// which handles its indices in ascending order and writes only their slots
// of a pre-sized output, so the output is in index order whatever the
// scheduling. The piece's state (a sliding window built at its first index
// and moved along it) lives inside the body; `min_piece` keeps pieces long
// enough that building it is a small part of a piece's work.
template <class Body>
void for_each_piece(std::size_t count, std::size_t min_piece, Body&& body) {
    auto piece = [&](std::size_t begin, std::size_t end) { body(begin, end); };
    pool_detail::run_pieces(count, min_piece, piece);
}

// Shape 3: body(chunk_index, chunk) for the consecutive chunks of `buffer`,
// each `chunk_length` long except possibly the last. Pieces consist of whole
// chunks, so work that restarts at chunk boundaries does not depend on the
// split.
template <class U, class Body>
void for_each_chunk(std::span<U> buffer, std::size_t chunk_length, Body&& body) {
    const std::size_t length = buffer.size();
    const std::size_t chunks = length / chunk_length + (length % chunk_length != 0 ? 1 : 0);
    for_each_piece(chunks, 1, [&](std::size_t first, std::size_t last) {
        for (std::size_t chunk_index = first; chunk_index < last; ++chunk_index) {
            const std::size_t begin = chunk_index * chunk_length;
            body(chunk_index, buffer.subspan(begin, std::min(chunk_length, length - begin)));
        }
    });
}

}  // namespace vorn::baseline::pool

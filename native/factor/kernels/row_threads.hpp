// Rows of a (dates x stocks) kernel shared out between threads: every row is computed
// by one thread alone, exactly as on one thread, so the results do not depend on the
// number of threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace tessary::factor {

/// Cells below which a kernel stays on the calling thread (starting a thread costs
/// more than the work).
inline constexpr std::size_t kCellsPerThread = std::size_t{1} << 20;

/// The most threads over_row_blocks starts for a kernel called from this thread
/// (0: the machine's cores): callers that already run one kernel per core, such as
/// a comparison of many factors on threads, set it to 1 on each of their threads.
inline thread_local unsigned row_thread_limit = 0;

/// Calls body(first_row, end_row) on contiguous blocks of [0, rows) that together
/// cover every row once: on up to the machine's cores (at most 8), one block each,
/// or row_thread_limit when set, when the matrix has at least kCellsPerThread cells a
/// thread; the calling thread
/// takes the first block. A thread that cannot be started leaves its block to the
/// calling thread. `body` must write only the rows it is given.
template <class Body>
void over_row_blocks(std::size_t rows, std::size_t n, Body &&body) {
    const unsigned limit = row_thread_limit ? row_thread_limit : std::thread::hardware_concurrency();
    const std::size_t cores = std::max(1u, std::min(8u, limit));
    const std::size_t by_size = rows * n / kCellsPerThread;
    const std::size_t parts = std::max<std::size_t>(1, std::min({cores, by_size, rows}));
    if (parts == 1) {
        body(std::size_t{0}, rows);
        return;
    }
    const auto bound = [&](std::size_t k) { return rows * k / parts; };
    std::vector<std::thread> threads;
    std::vector<std::size_t> left;  // blocks whose thread could not start
    for (std::size_t k = 1; k < parts; ++k) {
        try {
            threads.emplace_back([&body, lo = bound(k), hi = bound(k + 1)] { body(lo, hi); });
        } catch (const std::system_error &) {
            left.push_back(k);
        }
    }
    body(bound(0), bound(1));
    for (std::size_t k : left) body(bound(k), bound(k + 1));
    for (auto &t : threads) t.join();
}

}  // namespace tessary::factor

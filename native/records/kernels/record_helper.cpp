// The second thread of a recording pass: hand-over of one step at a time.
#include "records/kernels/record_helper.hpp"

#include <system_error>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace tessary::kernels::record_detail {

namespace {

// Rounds of spinning before a waiting thread sleeps: with a pause of some tens of
// cycles each, some tens of microseconds, longer than the gap between two steps of
// a pass and shorter than waking a sleeping thread would cost.
constexpr int kSpins = 1 << 12;

inline void relax() {
#if defined(__x86_64__) || defined(_M_X64)
    _mm_pause();
#endif
}

/// Waits until `a` no longer holds `old`: spins a while, then sleeps on it.
void wait_change(const std::atomic<std::uint32_t> &a, std::uint32_t old) {
    for (int k = 0; k < kSpins; ++k) {
        if (a.load(std::memory_order_acquire) != old) return;
        relax();
    }
    while (a.load(std::memory_order_acquire) == old) a.wait(old, std::memory_order_acquire);
}

}  // namespace

Helper::Helper(bool wanted) {
    if (!wanted) return;
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error &) {
        // No thread to be had: the steps run in turn on the calling thread.
    }
}

Helper::~Helper() {
    if (!two()) return;
    stop_.store(true, std::memory_order_relaxed);
    posted_.fetch_add(1, std::memory_order_release);
    posted_.notify_one();
    thread_.join();
}

void Helper::post(Call call, void *arg) {
    call_ = call;
    arg_ = arg;
    posted_.fetch_add(1, std::memory_order_release);
    posted_.notify_one();
}

std::exception_ptr Helper::wait() {
    wait_change(finished_, posted_.load(std::memory_order_relaxed) - 1);
    std::exception_ptr failed = failed_;
    failed_ = nullptr;
    return failed;
}

void Helper::loop() {
    std::uint32_t ran = 0;
    for (;;) {
        wait_change(posted_, ran);
        ran = posted_.load(std::memory_order_acquire);
        if (stop_.load(std::memory_order_relaxed)) return;
        try {
            call_(arg_);
        } catch (...) {
            failed_ = std::current_exception();
        }
        finished_.store(ran, std::memory_order_release);
        finished_.notify_one();
    }
}

}  // namespace tessary::kernels::record_detail

// The second thread of a recording pass: hand-over of one step at a time.
#include "records/kernels/record_helper.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
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

double seconds(const timespec &t) { return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec; }

/// This thread's processor time, or the wall clock where the system has no such
/// clock (a pass then never finds itself squeezed).
double thread_seconds(double wall) {
#if defined(CLOCK_THREAD_CPUTIME_ID)
    timespec t;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) == 0) return seconds(t);
#endif
    return wall;
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A piece shorter than this says nothing: the clocks' steps and a single
// interruption weigh too much in it.
constexpr double kShortPiece = 2e-4;
// A piece that got less than this share of its wall time in processor time ran by
// turns with something else.
constexpr double kStarved = 0.6;
// A step that took more than this many times its longer piece waited for a core.
constexpr double kLate = 1.5;

}  // namespace

PieceTime timed(const std::function<void()> &f) {
    const double w0 = wall_seconds(), c0 = thread_seconds(w0);
    f();
    const double w1 = wall_seconds(), c1 = thread_seconds(w1);
    return {w0, w1 - w0, c1 - c0};
}

bool Squeeze::after(const PieceTime &first, const PieceTime &second, std::size_t next) {
    const double longest = std::max(first.wall, second.wall);
    if (longest >= kShortPiece) {
        // From the first piece's start to the last one's end, against the longer piece:
        // a piece that started late waited for a core (a sleeping thread woken on a
        // core another process holds waits for the scheduler to take it away).
        const double span = std::max(first.begin + first.wall, second.begin + second.wall) -
                            std::min(first.begin, second.begin);
        auto starved = [](const PieceTime &t) { return t.wall >= kShortPiece && t.cpu < kStarved * t.wall; };
        strikes_ = span > kLate * longest || starved(first) || starved(second) ? strikes_ + 1 : 0;
    }
    return strikes_ >= 2 || next >= one_from_;
}

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

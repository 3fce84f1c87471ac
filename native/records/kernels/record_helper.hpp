// The second thread of a recording pass on two threads: started once per pass and
// handed one piece of work per step (a half of a tile's walk, a share of its copy
// onto the tables), instead of a new thread per step.
//
// A walk date by date takes about eighty such steps on a large market. Starting a
// thread for each cost about 50 microseconds here, and on a virtual machine an idle
// second processor must first be woken, which costs as much again while the first
// thread waits for the second half. So between steps the helper waits briefly by
// spinning (the next step usually comes within microseconds), and only then sleeps
// until it is handed work; the caller waits for the helper's share the same way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>

namespace tessary::kernels::record_detail {

/// When a piece of work began (a steady clock), and how long it took on the wall
/// clock and in processor time of the thread that ran it, in seconds.
struct PieceTime {
    double begin = 0.0, wall = 0.0, cpu = 0.0;
};

/// Runs `f` on this thread and says how long it took.
PieceTime timed(const std::function<void()> &f);

/// Tells when a pass on two threads had better finish on one. Where another process
/// holds one of two cores, the pass's threads run by turns with it, and every step
/// waits for the share that got the least time: such a pass takes longer on two
/// threads than on one. A step
/// whose pieces got much less processor time than they took, or that took much longer
/// than its longer piece (one piece began late: its thread waited for a core), twice
/// in a row, says so.
class Squeeze {
public:
    /// `one_from`: the pass goes on one thread from the first step that ends at or
    /// after this day whatever the clocks say (for tests; SIZE_MAX for never).
    explicit Squeeze(std::size_t one_from) : one_from_(one_from) {}
    /// After a step whose pieces took `first` and `second` and that ends before day
    /// `next`: true when the rest of the pass should run on one thread.
    bool after(const PieceTime &first, const PieceTime &second, std::size_t next);

private:
    int strikes_ = 0;
    std::size_t one_from_;
};

class Helper {
public:
    /// Starts the helper thread, or none when `wanted` is false or no thread can be
    /// had: `run_both` then runs both pieces of work in turn on the calling thread.
    explicit Helper(bool wanted);
    ~Helper();
    Helper(const Helper &) = delete;
    Helper &operator=(const Helper &) = delete;

    /// True when a second thread is running.
    bool two() const { return thread_.joinable(); }

    /// Runs `first` on the calling thread and `second` on the helper (or both here,
    /// `first` before `second`, without one); returns when both are done and
    /// rethrows what either threw (`first`'s exception first).
    template <class F, class G>
    void run_both(F &&first, G &&second) {
        if (two()) post([](void *g) { (*static_cast<G *>(g))(); }, &second);
        const std::exception_ptr failed = caught(first);
        const std::exception_ptr failed_second = two() ? wait() : caught(second);
        if (failed) std::rethrow_exception(failed);
        if (failed_second) std::rethrow_exception(failed_second);
    }

private:
    using Call = void (*)(void *);
    /// Runs `f`; what it threw, if anything.
    template <class F>
    static std::exception_ptr caught(F &f) {
        try {
            f();
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }
    void post(Call call, void *arg);
    std::exception_ptr wait();
    void loop();

    std::thread thread_;
    // Steps handed over and steps finished, counted; the helper runs step `posted_`
    // when it differs from the last it ran. Zero posted and `stop_` set ends it.
    std::atomic<std::uint32_t> posted_{0}, finished_{0};
    std::atomic<bool> stop_{false};
    Call call_ = nullptr;
    void *arg_ = nullptr;
    std::exception_ptr failed_;  // of the last step, read after `finished_` says so
};

}  // namespace tessary::kernels::record_detail

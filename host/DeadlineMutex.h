// A mutex that can be waited for until a deadline, made of a mutex, a flag and a condition
// variable: what std::timed_mutex offers, through calls ThreadSanitizer follows (std::timed_mutex
// waits in pthread_mutex_clocklock, which it does not see, and then reports every unlock).
#ifndef LIKENESS_HOST_DEADLINEMUTEX_H
#define LIKENESS_HOST_DEADLINEMUTEX_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace likeness_cli {

class DeadlineMutex {
public:
    void lock() {
        std::unique_lock<std::mutex> guard(state);
        released.wait(guard, [this] { return !held; });
        held = true;
    }
    bool try_lock() {
        const std::lock_guard<std::mutex> guard(state);
        if (held) return false;
        held = true;
        return true;
    }
    template <typename Clock, typename Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
        std::unique_lock<std::mutex> guard(state);
        if (!released.wait_until(guard, deadline, [this] { return !held; })) return false;
        held = true;
        return true;
    }
    void unlock() {
        {
            const std::lock_guard<std::mutex> guard(state);
            held = false;
        }
        released.notify_one();
    }

private:
    std::mutex state;
    std::condition_variable released;
    bool held = false;
};

}  // namespace likeness_cli

#endif

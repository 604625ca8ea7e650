// Locking for the walk's short critical sections, a few pointer moves long: a thread that finds
// the lock taken tries again a while before it sleeps, since a sleep and its wake-up cost a
// system call each way, many times what the holder needs to finish.
#pragma once

#include <mutex>

namespace quarvex {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// Takes `lock`'s mutex, which it does not hold.
inline void lockQuickly(std::unique_lock<std::mutex>& lock) {
    for (int spin = 0; spin < 128; ++spin) {
        if (lock.try_lock()) return;
        cpuRelax();
    }
    lock.lock();
}

inline std::unique_lock<std::mutex> lockQuickly(std::mutex& mutex) {
    std::unique_lock lock(mutex, std::defer_lock);
    lockQuickly(lock);
    return lock;
}

}  // namespace quarvex

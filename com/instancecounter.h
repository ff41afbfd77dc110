// Counts the live instances of a class (a member of it), so tests can see that nothing
// leaks. Plain C++.
#pragma once
#include <atomic>

namespace vexa {

// Counts the live instances of one class, so tests can see that nothing leaks.
template <typename T>
class InstanceCounter {
public:
    InstanceCounter() noexcept { ++s_count; }
    InstanceCounter(const InstanceCounter&) noexcept { ++s_count; }
    InstanceCounter& operator=(const InstanceCounter&) noexcept { return *this; }
    ~InstanceCounter() { --s_count; }
    static long Count() noexcept { return s_count.load(); }

private:
    static inline std::atomic<long> s_count{0};
};

} // namespace vexa

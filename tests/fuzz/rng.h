// The fuzzer's random source: SplitMix64, so a seed gives the same inputs on every platform.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

class Rng {
public:
    explicit Rng(std::uint64_t seed) : m_state(seed) {}

    std::uint64_t Next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number in [0, n); 0 when n is 0.
    std::uint32_t Below(std::uint32_t n) { return n ? static_cast<std::uint32_t>(Next() % n) : 0; }
    // A number in [lo, hi].
    int Range(int lo, int hi) { return lo + static_cast<int>(Below(static_cast<std::uint32_t>(hi - lo + 1))); }
    // True with probability percent / 100.
    bool Chance(int percent) { return static_cast<int>(Below(100)) < percent; }
    template <typename T>
    const T& Pick(const std::vector<T>& items) { return items[Below(static_cast<std::uint32_t>(items.size()))]; }
    // Small sizes most of the time, now and then a large one.
    int Size(int common, int rare) { return Chance(90) ? Range(0, common) : Range(0, rare); }

private:
    std::uint64_t m_state;
};

// The seed of input number `index` in a run with `seed`: every input can be replayed alone.
inline std::uint64_t InputSeed(std::uint64_t seed, std::uint64_t index)
{
    Rng mix(seed ^ (index * 0xD1B54A32D192ED03ull));
    return mix.Next();
}

} // namespace fuzz

// Command line, tallies, the summary line and failure files, shared by the Windows fuzzer
// and the native one.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/fuzz/rng.h"

namespace fuzz {

constexpr std::uint64_t kDefaultSeed = 20261208;

struct Options {
    std::uint64_t seed = kDefaultSeed;
    long long count = -1;    // inputs per target; -1: until the time is up (or 200)
    long long from = 0;      // the number of the first input (to run part of a long run again)
    double seconds = -1;     // time per target
    std::string target = "all";
    std::string replay;      // a failure file to run alone
    std::string out = "fuzz-failures";
    bool verbose = false;
    double hangSeconds = 60;  // one input taking longer is a hang
};

inline bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) { std::fprintf(stderr, "fuzz: %s needs a value\n", a.c_str()); std::exit(2); }
            return argv[++i];
        };
        if (a == "--seed") o.seed = std::strtoull(value().c_str(), nullptr, 0);
        else if (a == "--count") o.count = std::atoll(value().c_str());
        else if (a == "--from") o.from = std::atoll(value().c_str());
        else if (a == "--seconds") o.seconds = std::atof(value().c_str());
        else if (a == "--target") o.target = value();
        else if (a == "--replay") o.replay = value();
        else if (a == "--out") o.out = value();
        else if (a == "--hang-seconds") o.hangSeconds = std::atof(value().c_str());
        else if (a == "--verbose" || a == "-v") o.verbose = true;
        else {
            std::fprintf(stderr,
                         "usage: fuzz [--seed N] [--count N] [--from N] [--seconds S] [--target NAME|all]\n"
                         "            [--replay FILE] [--out PREFIX] [--hang-seconds S] [--verbose]\n");
            return false;
        }
    }
    if (o.count < 0 && o.seconds < 0) o.count = 200;
    return true;
}

struct Tally {
    long long inputs = 0, crashes = 0, mismatches = 0, leaks = 0, hangs = 0;
    void Add(const Tally& t)
    {
        inputs += t.inputs; crashes += t.crashes; mismatches += t.mismatches;
        leaks += t.leaks; hangs += t.hangs;
    }
    bool Clean() const { return crashes + mismatches + leaks + hangs == 0; }
    std::string Line(const char* prefix = "fuzz") const
    {
        char buf[200];
        std::snprintf(buf, sizeof buf, "%s: %lld inputs, %lld crashes, %lld mismatches, %lld leaks, %lld hangs",
                      prefix, inputs, crashes, mismatches, leaks, hangs);
        return buf;
    }
};

// Counts and time for one target's share of a run.
class Budget {
public:
    explicit Budget(const Options& o) : m_o(o), m_start(std::chrono::steady_clock::now()) {}
    bool More(long long done) const
    {
        if (m_o.count >= 0 && done >= m_o.count) return false;
        if (m_o.seconds >= 0 && Elapsed() >= m_o.seconds) return false;
        return true;
    }
    double Elapsed() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    const Options& m_o;
    std::chrono::steady_clock::time_point m_start;
};

// A failure file: the target and the input's own seed (enough to make it again), what went
// wrong, and the input's bytes for reading.
inline std::string WriteFailure(const Options& o, const std::string& target, std::uint64_t inputSeed,
                                const std::string& kind, const std::string& detail,
                                const std::string& bytes)
{
    static int serial = 0;
    std::string path = o.out + "-" + target + "-" + std::to_string(++serial) + ".txt";
    std::ofstream f(path, std::ios::binary);
    f << "target " << target << "\nseed " << inputSeed << "\nkind " << kind << "\ndetail "
      << detail << "\nbytes " << bytes.size() << "\n" << bytes;
    std::fprintf(stderr, "fuzz: %s in %s (input seed %llu): %s -> %s\n", kind.c_str(), target.c_str(),
                 static_cast<unsigned long long>(inputSeed), detail.substr(0, 2000).c_str(), path.c_str());
    return path;
}

inline bool ReadReplay(const std::string& path, std::string& target, std::uint64_t& inputSeed)
{
    std::ifstream f(path, std::ios::binary);
    std::string key;
    bool haveTarget = false, haveSeed = false;
    while (f >> key) {
        if (key == "target") { f >> target; haveTarget = true; }
        else if (key == "seed") { f >> inputSeed; haveSeed = true; }
        if (haveTarget && haveSeed) return true;
        std::string rest;
        std::getline(f, rest);
    }
    return false;
}

} // namespace fuzz

// A bounded inflate (RFC 1950 and 1951) that keeps only its 32 KB window: what a zlib stream
// would give is handed on in order, piece by piece, and never more than a given number of
// bytes is made. The picture guard uses it to learn whether a PNG's data fills its image
// before any decoder sees it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vexa {

// Receives what the stream gives, in order; false stops the inflate (it then fails).
class InflateSink {
public:
    virtual bool Take(const unsigned char* data, std::size_t size) noexcept = 0;

protected:
    ~InflateSink() = default;
};

enum class InflateEnd {
    Whole,    // the stream ended, its checksum right, within the limit
    TooLong,  // it would give more than the limit
    Broken,   // cut short, a code no encoder makes, a wrong checksum, or the sink stopped it
};

// Inflates the zlib stream in `data` (its header, the deflate data, its Adler-32), handing
// what it gives to `sink`; at most `limit` bytes are made. `total` gets how many were given.
InflateEnd InflateZlib(const unsigned char* data, std::size_t size, std::uint64_t limit, InflateSink& sink,
                       std::uint64_t& total) noexcept;

} // namespace vexa

// The bounded inflate: canonical Huffman codes decoded a bit at a time (small tables, no
// look-up tables to build), the window kept in a buffer of twice its size.
#include "format/inflate.h"

#include <cstring>
#include <memory>
#include <new>

namespace vexa {

namespace {

constexpr int kMaxBits = 15;
constexpr std::size_t kWindow = 32768;

// A canonical code: how many codes each length has, and the symbols in code order.
struct Huffman {
    std::uint16_t count[kMaxBits + 1];
    std::uint16_t symbol[288];
};

const std::uint16_t kLengthBase[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31,
                                       35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const std::uint16_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const std::uint16_t kDistanceBase[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385,
                                         513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const std::uint16_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Fills `h` from the code lengths; gives 0 for a complete code, more for an incomplete one,
// less than 0 for one with too many codes of some length.
int Build(Huffman& h, const std::uint16_t* lengths, int n) noexcept
{
    std::memset(h.count, 0, sizeof h.count);
    for (int s = 0; s < n; ++s) ++h.count[lengths[s]];
    if (h.count[0] == n) return 0; // no codes: complete, and nothing can be decoded
    int left = 1;
    for (int len = 1; len <= kMaxBits; ++len) {
        left = left * 2 - h.count[len];
        if (left < 0) return left;
    }
    std::uint16_t offsets[kMaxBits + 1];
    offsets[1] = 0;
    for (int len = 1; len < kMaxBits; ++len) offsets[len + 1] = static_cast<std::uint16_t>(offsets[len] + h.count[len]);
    for (int s = 0; s < n; ++s)
        if (lengths[s]) h.symbol[offsets[lengths[s]]++] = static_cast<std::uint16_t>(s);
    return left;
}

class Inflater {
public:
    Inflater(const unsigned char* in, std::size_t size, std::uint64_t limit, InflateSink& sink) noexcept
        : m_in(in), m_size(size), m_limit(limit), m_sink(sink) {}

    InflateEnd Run() noexcept
    {
        if (m_size < 2 || (m_in[0] & 0x0f) != 8 || (m_in[0] >> 4) > 7 || (m_in[0] * 256u + m_in[1]) % 31 != 0 ||
            (m_in[1] & 0x20))
            return InflateEnd::Broken;
        m_at = 2;
        for (bool last = false; !last;) {
            const int header = Bits(3);
            if (header < 0) return InflateEnd::Broken;
            last = header & 1;
            bool ok = false;
            switch (header >> 1) {
            case 0: ok = Stored(); break;
            case 1: ok = Fixed(); break;
            case 2: ok = Dynamic(); break;
            default: break;
            }
            if (!ok) return m_tooLong ? InflateEnd::TooLong : InflateEnd::Broken;
        }
        if (!Flush()) return InflateEnd::Broken;
        if (m_size - m_at < 4) return InflateEnd::Broken; // the bits left belong to the last byte read
        const std::uint32_t sum = static_cast<std::uint32_t>(m_in[m_at]) << 24 | m_in[m_at + 1] << 16 | m_in[m_at + 2] << 8 | m_in[m_at + 3];
        return sum == (m_b << 16 | m_a) ? InflateEnd::Whole : InflateEnd::Broken;
    }

    std::uint64_t Total() const noexcept { return m_total; }

private:
    // `need` bits, first bit lowest; -1 past the end of the input.
    int Bits(int need) noexcept
    {
        std::uint32_t value = m_bitBuffer;
        while (m_bitCount < need) {
            if (m_at == m_size) return -1;
            value |= static_cast<std::uint32_t>(m_in[m_at++]) << m_bitCount;
            m_bitCount += 8;
        }
        m_bitBuffer = value >> need;
        m_bitCount -= need;
        return static_cast<int>(value & ((1u << need) - 1));
    }

    // The next symbol of `h`; -1 past the end, -2 for a code that `h` does not have.
    int Decode(const Huffman& h) noexcept
    {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxBits; ++len) {
            const int bit = Bits(1);
            if (bit < 0) return -1;
            code |= bit;
            const int count = h.count[len];
            if (code - count < first) return h.symbol[index + (code - first)];
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return -2;
    }

    bool Put(unsigned char byte) noexcept
    {
        if (m_total == m_limit) {
            m_tooLong = true;
            return false;
        }
        m_out[m_fill++] = byte;
        ++m_total;
        if (m_fill < sizeof m_out) return true;
        if (!Flush()) return false;
        std::memmove(m_out, m_out + sizeof m_out - kWindow, kWindow);
        m_fill = m_flushed = kWindow;
        return true;
    }

    // Hands on what was made since the last flush, and adds it to the checksum.
    bool Flush() noexcept
    {
        const unsigned char* p = m_out + m_flushed;
        for (std::size_t left = m_fill - m_flushed; left;) {
            std::size_t n = left < 5552 ? left : 5552; // the most that cannot overflow before the modulo
            left -= n;
            for (; n; --n, ++p) {
                m_a += *p;
                m_b += m_a;
            }
            m_a %= 65521;
            m_b %= 65521;
        }
        const bool ok = m_fill == m_flushed || m_sink.Take(m_out + m_flushed, m_fill - m_flushed);
        m_flushed = m_fill;
        return ok;
    }

    bool Stored() noexcept
    {
        m_bitBuffer = 0; // a stored block starts at the next byte
        m_bitCount = 0;
        if (m_size - m_at < 4) return false;
        const unsigned length = m_in[m_at] | m_in[m_at + 1] << 8;
        if ((length ^ 0xffffu) != static_cast<unsigned>(m_in[m_at + 2] | m_in[m_at + 3] << 8)) return false;
        m_at += 4;
        if (m_size - m_at < length) return false;
        for (unsigned i = 0; i < length; ++i)
            if (!Put(m_in[m_at++])) return false;
        return true;
    }

    bool Codes(const Huffman& lengths, const Huffman& distances) noexcept
    {
        for (;;) {
            int symbol = Decode(lengths);
            if (symbol < 0) return false;
            if (symbol < 256) {
                if (!Put(static_cast<unsigned char>(symbol))) return false;
                continue;
            }
            if (symbol == 256) return true;
            symbol -= 257;
            if (symbol >= 29) return false;
            const int extra = Bits(kLengthExtra[symbol]);
            if (extra < 0) return false;
            const int length = kLengthBase[symbol] + extra;
            const int d = Decode(distances);
            if (d < 0 || d >= 30) return false;
            const int dExtra = Bits(kDistanceExtra[d]);
            if (dExtra < 0) return false;
            const std::size_t distance = static_cast<std::size_t>(kDistanceBase[d]) + static_cast<unsigned>(dExtra);
            if (distance > m_total) return false; // before the start of the data
            for (int i = 0; i < length; ++i)
                if (!Put(m_out[m_fill - distance])) return false;
        }
    }

    bool Fixed() noexcept
    {
        static const struct Tables {
            Huffman lengths, distances;
            Tables() noexcept
            {
                std::uint16_t l[288];
                for (int s = 0; s < 288; ++s) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
                Build(lengths, l, 288);
                for (int s = 0; s < 30; ++s) l[s] = 5;
                Build(distances, l, 30);
            }
        } tables;
        return Codes(tables.lengths, tables.distances);
    }

    bool Dynamic() noexcept
    {
        static const unsigned char order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        const int nlen = Bits(5), ndist = Bits(5), ncode = Bits(4);
        if (nlen < 0 || ndist < 0 || ncode < 0 || nlen + 257 > 286 || ndist + 1 > 30) return false;
        std::uint16_t lengths[320] = {};
        for (int i = 0; i < ncode + 4; ++i) {
            const int len = Bits(3);
            if (len < 0) return false;
            lengths[order[i]] = static_cast<std::uint16_t>(len);
        }
        Huffman lencode, distcode;
        if (Build(lencode, lengths, 19) != 0) return false; // the code lengths' code must be complete
        const int total = nlen + 257 + ndist + 1;
        for (int index = 0; index < total;) {
            int symbol = Decode(lencode);
            if (symbol < 0) return false;
            if (symbol < 16) {
                lengths[index++] = static_cast<std::uint16_t>(symbol);
                continue;
            }
            std::uint16_t len = 0;
            int repeat;
            if (symbol == 16) {
                if (index == 0) return false;
                len = lengths[index - 1];
                repeat = Bits(2);
                if (repeat >= 0) repeat += 3;
            } else if (symbol == 17) {
                repeat = Bits(3);
                if (repeat >= 0) repeat += 3;
            } else {
                repeat = Bits(7);
                if (repeat >= 0) repeat += 11;
            }
            if (repeat < 0 || index + repeat > total) return false;
            while (repeat--) lengths[index++] = len;
        }
        if (lengths[256] == 0) return false; // no end-of-block code
        // An incomplete code is allowed only when it is a single code of one bit.
        int err = Build(lencode, lengths, nlen + 257);
        if (err < 0 || (err > 0 && nlen + 257 != lencode.count[0] + lencode.count[1])) return false;
        err = Build(distcode, lengths + nlen + 257, ndist + 1);
        if (err < 0 || (err > 0 && ndist + 1 != distcode.count[0] + distcode.count[1])) return false;
        return Codes(lencode, distcode);
    }

    const unsigned char* m_in;
    std::size_t m_size;
    std::size_t m_at = 0;
    std::uint32_t m_bitBuffer = 0;
    int m_bitCount = 0;
    const std::uint64_t m_limit;
    InflateSink& m_sink;
    bool m_tooLong = false;
    std::uint64_t m_total = 0;
    std::uint32_t m_a = 1, m_b = 0; // the Adler-32 of what was handed on
    unsigned char m_out[2 * kWindow];
    std::size_t m_fill = 0, m_flushed = 0;
};

} // namespace

InflateEnd InflateZlib(const unsigned char* data, std::size_t size, std::uint64_t limit, InflateSink& sink,
                       std::uint64_t& total) noexcept
{
    total = 0;
    // On the heap: its window is too large for a download worker's small stack.
    std::unique_ptr<Inflater> inflater(new (std::nothrow) Inflater(data, size, limit, sink));
    if (!inflater) return InflateEnd::Broken;
    const InflateEnd end = inflater->Run();
    total = inflater->Total();
    return end;
}

} // namespace vexa

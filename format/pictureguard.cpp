// The guard: every header a decoder reads, read first, with bounded reads.
#include "format/pictureguard.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "format/inflate.h"

namespace vexa {

namespace {

// Bounded reads of the header fields: false past the end.
struct Bytes {
    const unsigned char* p;
    std::size_t size;
    bool Has(std::size_t at, std::size_t n) const noexcept { return at <= size && n <= size - at; }
    std::uint32_t Le16(std::size_t at) const noexcept { return p[at] | p[at + 1] << 8; }
    std::uint32_t Be16(std::size_t at) const noexcept { return p[at] << 8 | p[at + 1]; }
    std::uint32_t Le32(std::size_t at) const noexcept { return Le16(at) | Le16(at + 2) << 16; }
    std::uint32_t Be32(std::size_t at) const noexcept { return Be16(at) << 16 | Be16(at + 2); }
    Bytes From(std::size_t at) const noexcept { return at <= size ? Bytes{p + at, size - at} : Bytes{p + size, 0}; }
};

const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

bool StartsWith(const Bytes& b, const void* prefix, std::size_t n) noexcept
{
    return b.Has(0, n) && std::memcmp(b.p, prefix, n) == 0;
}

bool LooksLikeSvg(const Bytes& b) noexcept
{
    std::size_t at = 0;
    if (StartsWith(b, "\xef\xbb\xbf", 3)) at = 3;
    while (at < b.size && (b.p[at] == ' ' || b.p[at] == '\t' || b.p[at] == '\r' || b.p[at] == '\n')) ++at;
    if (at >= b.size || b.p[at] != '<') return false;
    const std::size_t window = std::min<std::size_t>(b.size - at, 1024);
    const std::string head(reinterpret_cast<const char*>(b.p + at), window);
    return head.find("<svg") != std::string::npos;
}

// One frame of `w` x `h` more in the shape.
void AddFrame(PictureShape& shape, std::uint32_t w, std::uint32_t h) noexcept
{
    shape.width = std::max(shape.width, w);
    shape.height = std::max(shape.height, h);
    shape.area += static_cast<std::uint64_t>(w) * h;
    ++shape.frames;
}

// The verdict on a shape's size alone.
PictureVerdict Bounded(const PictureShape& shape) noexcept
{
    if (shape.frames == 0 || shape.width == 0 || shape.height == 0) return PictureVerdict::Broken;
    if (shape.area > kMaxPicturePixels || shape.frames > kMaxPictureFrames ||
        static_cast<std::uint64_t>(shape.width) * shape.height > kMaxPicturePixels)
        return PictureVerdict::TooLarge;
    return PictureVerdict::Decoded;
}

// ---- PNG

bool PngSize(const Bytes& b, std::uint32_t& w, std::uint32_t& h) noexcept
{
    if (!b.Has(0, 24) || std::memcmp(b.p + 12, "IHDR", 4) != 0)
        return false;
    w = b.Be32(16);
    h = b.Be32(20);
    return true;
}

std::uint32_t Crc32(const unsigned char* p, std::size_t n) noexcept
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xffffffffu;
    for (; n; --n, ++p) crc = table[(crc ^ *p) & 0xff] ^ (crc >> 8);
    return crc ^ 0xffffffffu;
}

// Watches the rows a PNG's data inflates to: every row starts with a filter type the decoder
// knows (0 to 4); anything else makes it fail half way, and the platform's PNG decoder keeps
// the memory of an image it fails to fill (on x64).
class PngRows final : public InflateSink {
public:
    // The rows of each pass (one, or seven when interlaced) and their bytes after the filter byte.
    void AddPass(std::uint64_t rows, std::uint64_t rowBytes) noexcept
    {
        if (rows == 0 || rowBytes == 0) return;
        m_rows[m_passes] = rows;
        m_rowBytes[m_passes++] = rowBytes;
        m_need += rows * (1 + rowBytes);
    }
    std::uint64_t Need() const noexcept { return m_need; }

    bool Take(const unsigned char* data, std::size_t size) noexcept override
    {
        while (size) {
            if (m_untilRow >= size) {
                m_untilRow -= size;
                return true;
            }
            data += m_untilRow;
            size -= static_cast<std::size_t>(m_untilRow);
            while (m_pass < m_passes && m_rows[m_pass] == 0) ++m_pass;
            if (m_pass == m_passes || *data > 4) return false;
            --m_rows[m_pass];
            m_untilRow = m_rowBytes[m_pass];
            ++data;
            --size;
        }
        return true;
    }

private:
    std::uint64_t m_rows[7] = {}, m_rowBytes[7] = {};
    int m_passes = 0, m_pass = 0;
    std::uint64_t m_need = 0, m_untilRow = 0;
};

// A PNG whose header the decoder accepts, every chunk there with its checksum up to IEND, the
// palette an indexed image needs, and data that inflates to exactly its rows.
PictureVerdict GuardPng(const Bytes& b, PictureShape& shape)
{
    std::uint32_t w = 0, h = 0;
    if (!StartsWith(b, kPngSignature, 8) || !PngSize(b, w, h) || b.Be32(8) != 13 || !b.Has(0, 33))
        return PictureVerdict::Broken;
    if (w > 0x7fffffffu || h > 0x7fffffffu) return PictureVerdict::TooLarge;
    AddFrame(shape, w, h);
    const PictureVerdict size = Bounded(shape);
    if (size != PictureVerdict::Decoded) return size;
    const unsigned depth = b.p[24], colour = b.p[25];
    static const struct { unsigned colour, channels, depths; } kColours[] = {
        {0, 1, 1 | 2 | 4 | 8 | 16}, {2, 3, 8 | 16}, {3, 1, 1 | 2 | 4 | 8}, {4, 2, 8 | 16}, {6, 4, 8 | 16}};
    unsigned channels = 0;
    for (const auto& c : kColours)
        if (c.colour == colour && (c.depths & depth) && (depth & (depth - 1)) == 0) channels = c.channels;
    if (channels == 0 || b.p[26] != 0 || b.p[27] != 0 || b.p[28] > 1) return PictureVerdict::Broken;

    // The chunks, and the image data in one piece.
    std::string data;
    bool palette = false, dataDone = false;
    for (std::size_t at = 8;;) {
        if (!b.Has(at, 12)) return PictureVerdict::Broken;
        const std::size_t length = b.Be32(at);
        if (!b.Has(at + 8, length) || !b.Has(at + 8 + length, 4)) return PictureVerdict::Broken;
        if (Crc32(b.p + at + 4, length + 4) != b.Be32(at + 8 + length)) return PictureVerdict::Broken;
        const unsigned char* type = b.p + at + 4;
        if (std::memcmp(type, "IEND", 4) == 0) break;
        if (std::memcmp(type, "PLTE", 4) == 0) palette = true;
        if (std::memcmp(type, "IDAT", 4) == 0) {
            if (dataDone) return PictureVerdict::Broken; // image data in two runs
            data.append(reinterpret_cast<const char*>(type + 4), length);
        } else if (!data.empty()) {
            dataDone = true;
        }
        at += 12 + length;
    }
    if (colour == 3 && !palette) return PictureVerdict::Broken;

    PngRows rows;
    const auto rowBytes = [&](std::uint64_t width) { return (width * channels * depth + 7) / 8; };
    if (b.p[28] == 0) {
        rows.AddPass(h, rowBytes(w));
    } else {
        static const unsigned kX[7] = {0, 4, 0, 2, 0, 1, 0}, kY[7] = {0, 0, 4, 0, 2, 0, 1};
        static const unsigned kDx[7] = {8, 8, 4, 4, 2, 2, 1}, kDy[7] = {8, 8, 8, 4, 4, 2, 2};
        for (int pass = 0; pass < 7; ++pass) {
            const std::uint64_t pw = w > kX[pass] ? (w - kX[pass] + kDx[pass] - 1) / kDx[pass] : 0;
            const std::uint64_t ph = h > kY[pass] ? (h - kY[pass] + kDy[pass] - 1) / kDy[pass] : 0;
            if (pw) rows.AddPass(ph, rowBytes(pw));
        }
    }
    std::uint64_t made = 0;
    const InflateEnd end = InflateZlib(reinterpret_cast<const unsigned char*>(data.data()), data.size(), rows.Need(), rows, made);
    return end == InflateEnd::Whole && made == rows.Need() ? PictureVerdict::Decoded : PictureVerdict::Broken;
}

// ---- JPEG

// The frame of the start-of-frame marker, and the scans after it: a progressive JPEG of many
// scans is decoded over and over, so their number is bounded.
PictureVerdict GuardJpeg(const Bytes& b, PictureShape& shape) noexcept
{
    std::size_t at = 2;
    unsigned scans = 0;
    bool frame = false;
    while (b.Has(at, 2)) {
        if (b.p[at] != 0xff) return PictureVerdict::Broken;
        const unsigned marker = b.p[at + 1];
        if (marker == 0xff) { ++at; continue; }            // fill byte
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8)) { at += 2; continue; }
        if (marker == 0xd9) break;
        if (!b.Has(at, 4)) break;
        const std::size_t length = b.Be16(at + 2);
        if (length < 2) return PictureVerdict::Broken;
        const bool sof = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (sof) {
            if (frame || !b.Has(at, 10)) return PictureVerdict::Broken; // the decoder refuses a second
            frame = true;
            const unsigned components = b.p[at + 9];
            if (components == 0 || components > 4) return PictureVerdict::Broken;
            AddFrame(shape, b.Be16(at + 7), b.Be16(at + 5));
            if (Bounded(shape) == PictureVerdict::TooLarge) return PictureVerdict::TooLarge;
        }
        at += 2 + length;
        if (marker != 0xda) continue;
        if (!frame) return PictureVerdict::Broken; // no frame before the scan
        if (++scans > kMaxJpegScans) return PictureVerdict::TooLarge;
        // The scan's coded data runs to the next marker that is not a restart or a stuffed zero.
        while (b.Has(at, 2) && !(b.p[at] == 0xff && b.p[at + 1] != 0 && (b.p[at + 1] < 0xd0 || b.p[at + 1] > 0xd7))) ++at;
    }
    if (!frame) return PictureVerdict::Broken;
    return Bounded(shape);
}

// ---- GIF
// Skips a chain of data sub-blocks; false when it runs past the end.
bool SkipSubBlocks(const Bytes& b, std::size_t& at) noexcept
{
    while (b.Has(at, 1)) {
        const std::size_t n = b.p[at];
        at += 1 + n;
        if (n == 0) return true;
    }
    return false;
}

// Whether the LZW data of a GIF image (its code size byte at `at`, then sub-blocks) yields at
// least `need` pixels with codes a decoder accepts. Only the lengths of the table's strings
// are kept: no pixel is made.
bool LzwGivesPixels(const Bytes& b, std::size_t at, std::uint64_t need) noexcept
{
    if (!b.Has(at, 1)) return false;
    const unsigned rootBits = b.p[at++];
    if (rootBits < 2 || rootBits > 8) return false;
    const unsigned clear = 1u << rootBits, end = clear + 1;
    std::uint16_t length[4096]; // of the string of each code
    for (unsigned code = 0; code < clear; ++code) length[code] = 1;
    unsigned next = end + 1, bits = rootBits + 1, previous = 0;
    bool first = true;
    std::uint64_t pixels = 0;
    std::uint32_t buffer = 0;
    unsigned held = 0;
    std::size_t left = 0; // bytes left in the current sub-block
    while (pixels < need) {
        while (held < bits) { // the codes run on across sub-blocks, low bits first
            if (left == 0) {
                if (!b.Has(at, 1) || b.p[at] == 0) return false;
                left = b.p[at++];
            }
            if (!b.Has(at, 1)) return false;
            buffer |= static_cast<std::uint32_t>(b.p[at++]) << held;
            held += 8;
            --left;
        }
        const unsigned code = buffer & ((1u << bits) - 1);
        buffer >>= bits;
        held -= bits;
        if (code == clear) {
            next = end + 1;
            bits = rootBits + 1;
            first = true;
            continue;
        }
        if (code == end) return false; // ended before the image is full
        unsigned n;
        if (first) {
            if (code >= clear) return false;
            n = 1;
            first = false;
        } else {
            if (code > next || (code == next && next >= 4096)) return false;
            n = code == next ? length[previous] + 1u : length[code];
            if (next < 4096) {
                length[next] = static_cast<std::uint16_t>(length[previous] + 1u);
                if (++next == 1u << bits && bits < 12) ++bits;
            }
        }
        pixels += n;
        previous = code;
    }
    return true;
}

// The logical screen and every image: each image counts as a frame (the platform's decoder
// makes them all when it opens the file), every block must be there up to the trailer and
// every image's data must fill it (the decoder keeps the memory of an image it fails to fill).
PictureVerdict GuardGif(const Bytes& b, PictureShape& shape) noexcept
{
    if (!b.Has(0, 13)) return PictureVerdict::Broken;
    const std::uint32_t screenW = b.Le16(6), screenH = b.Le16(8);
    if (static_cast<std::uint64_t>(screenW) * screenH > kMaxPicturePixels) return PictureVerdict::TooLarge;
    std::size_t at = 13;
    if (b.p[10] & 0x80) at += 3u << ((b.p[10] & 7) + 1);
    while (b.Has(at, 1)) {
        const unsigned char block = b.p[at];
        if (block == 0x3b) {
            shape.width = std::max(shape.width, screenW);
            shape.height = std::max(shape.height, screenH);
            return Bounded(shape);
        }
        if (block == 0x21) {
            at += 2;
        } else if (block == 0x2c) {
            if (!b.Has(at, 10)) return PictureVerdict::Broken;
            const std::uint32_t w = b.Le16(at + 5), h = b.Le16(at + 7);
            AddFrame(shape, w, h);
            const PictureVerdict size = Bounded(shape);
            if (size == PictureVerdict::TooLarge) return size; // before its data is counted
            const unsigned char flags = b.p[at + 9];
            at += 10;
            if (flags & 0x80) at += 3u << ((flags & 7) + 1);
            if (!LzwGivesPixels(b, at, static_cast<std::uint64_t>(w) * h)) return PictureVerdict::Broken;
            at += 1; // the LZW code size
        } else {
            return PictureVerdict::Broken;
        }
        if (!SkipSubBlocks(b, at)) return PictureVerdict::Broken;
    }
    return PictureVerdict::Broken;
}

// ---- BMP and the bitmaps of icons

// The sizes of bitmap header the platform's decoder reads: the core header's 16-bit fields
// (12), or 32-bit ones (the info header and its later and OS/2 forms). Any other is refused.
bool KnownHeader(std::uint32_t size) noexcept
{
    for (std::uint32_t known : {12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u})
        if (size == known) return true;
    return false;
}

struct Dib {
    std::uint32_t header = 0, width = 0, height = 0, bits = 0, compression = 0, colours = 0;
    bool topDown = false;
    std::uint64_t Stride() const noexcept { return (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4; }
    // The palette's bytes that follow the header.
    std::uint64_t PaletteBytes() const noexcept
    {
        const std::uint64_t entries = colours ? colours : bits <= 8 ? 1u << bits : 0;
        return entries * (header == 12 ? 3 : 4);
    }
};

// A bitmap header at the start of `b`, read as the decoder reads it.
bool ReadDib(const Bytes& b, Dib& dib) noexcept
{
    if (!b.Has(0, 4)) return false;
    dib.header = b.Le32(0);
    if (!KnownHeader(dib.header) || !b.Has(0, dib.header)) return false;
    if (dib.header == 12) {
        dib.width = b.Le16(4);
        dib.height = b.Le16(6);
        dib.bits = b.Le16(10);
    } else {
        const auto w = static_cast<std::int32_t>(b.Le32(4)), h = static_cast<std::int32_t>(b.Le32(8));
        if (w <= 0 || h == 0) return false;
        dib.width = static_cast<std::uint32_t>(w);
        dib.topDown = h < 0;
        dib.height = h < 0 ? 0u - static_cast<std::uint32_t>(h) : static_cast<std::uint32_t>(h);
        dib.bits = b.Le16(14);
        if (dib.header >= 20) dib.compression = b.Le32(16);
        if (dib.header >= 36) dib.colours = b.Le32(32);
    }
    for (std::uint32_t bits : {1u, 4u, 8u, 16u, 24u, 32u})
        if (dib.bits == bits) return dib.colours <= 256;
    return false;
}

// A BMP file: a known header, no compression the decoder hands to another decoder (JPEG,
// PNG), and for uncompressed rows, all of them there.
PictureVerdict GuardBmp(const Bytes& b, PictureShape& shape) noexcept
{
    Dib dib;
    if (!b.Has(0, 14) || !ReadDib(b.From(14), dib)) return PictureVerdict::Broken;
    AddFrame(shape, dib.width, dib.height);
    const PictureVerdict size = Bounded(shape);
    if (size != PictureVerdict::Decoded) return size;
    const bool rle = (dib.compression == 1 && dib.bits == 8) || (dib.compression == 2 && dib.bits == 4);
    const bool fields = dib.compression == 3 && (dib.bits == 16 || dib.bits == 32);
    if (dib.compression != 0 && !rle && !fields) return PictureVerdict::Broken;
    if (!rle && static_cast<std::uint64_t>(b.Le32(10)) + dib.Stride() * dib.height > b.size)
        return PictureVerdict::Broken;
    return PictureVerdict::Decoded;
}

// ---- ICO

// An icon: every entry of its directory is sized by its own image's header (a PNG's, or a
// bitmap's of any size the decoder reads), and only the largest goes to the decoder: a PNG
// entry as the PNG it is, a bitmap entry as an icon of that one entry, whose rows and mask
// must all be there.
PictureVerdict GuardIco(const Bytes& b, PictureShape& shape)
{
    if (!b.Has(0, 6)) return PictureVerdict::Broken;
    const std::size_t count = b.Le16(4);
    if (count == 0 || !b.Has(6, count * 16)) return PictureVerdict::Broken;
    Bytes best{nullptr, 0};
    Dib bestDib;
    bool bestPng = false;
    std::uint64_t bestArea = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = 6 + i * 16, length = b.Le32(entry + 8), offset = b.Le32(entry + 12);
        if (!b.Has(offset, length)) continue;
        const Bytes image{b.p + offset, length};
        std::uint32_t w = 0, h = 0;
        Dib dib;
        const bool png = StartsWith(image, kPngSignature, 8);
        if (png) {
            if (!PngSize(image, w, h)) continue;
        } else {
            if (!ReadDib(image, dib) || dib.topDown || dib.compression != 0) continue;
            dib.height /= 2; // the rows, then the mask's
            w = dib.width;
            h = dib.height;
        }
        if (w == 0 || h == 0) continue;
        // Every entry's true size counts: one that claims too much refuses the icon.
        if (static_cast<std::uint64_t>(w) * h > kMaxPicturePixels) return PictureVerdict::TooLarge;
        if (static_cast<std::uint64_t>(w) * h > bestArea) {
            bestArea = static_cast<std::uint64_t>(w) * h;
            best = image;
            bestDib = dib;
            bestPng = png;
        }
    }
    if (!best.p) return PictureVerdict::Broken;
    if (bestPng) {
        const PictureVerdict verdict = GuardPng(best, shape);
        shape.data = reinterpret_cast<const char*>(best.p);
        shape.size = best.size;
        shape.decodeAs = PictureKind::Png;
        return verdict;
    }
    AddFrame(shape, bestDib.width, bestDib.height);
    const PictureVerdict size = Bounded(shape);
    if (size != PictureVerdict::Decoded) return size;
    const std::uint64_t mask = (static_cast<std::uint64_t>(bestDib.width) + 31) / 32 * 4 * bestDib.height;
    if (bestDib.header + bestDib.PaletteBytes() + bestDib.Stride() * bestDib.height + mask > best.size)
        return PictureVerdict::Broken;
    // The directory of one entry: its sizes are the bitmap's (0 stands for 256 and more).
    const auto side = [](std::uint32_t v) { return static_cast<char>(v >= 256 ? 0 : v); };
    const std::uint32_t length = static_cast<std::uint32_t>(best.size);
    shape.icon.assign("\0\0\1\0\1\0", 6);
    shape.icon += {side(bestDib.width), side(bestDib.height), 0, 0, 1, 0, static_cast<char>(bestDib.bits), 0};
    for (std::uint32_t v : {length, 22u}) shape.icon.append({char(v), char(v >> 8), char(v >> 16), char(v >> 24)});
    shape.icon.append(reinterpret_cast<const char*>(best.p), best.size);
    shape.data = shape.icon.data();
    shape.size = shape.icon.size();
    shape.decodeAs = PictureKind::Ico;
    return PictureVerdict::Decoded;
}

} // namespace

PictureKind SniffPicture(const char* data, std::size_t size) noexcept
{
    const Bytes b{reinterpret_cast<const unsigned char*>(data), size};
    if (StartsWith(b, "\xff\xd8\xff", 3)) return PictureKind::Jpeg;
    if (StartsWith(b, kPngSignature, 8)) return PictureKind::Png;
    if (StartsWith(b, "GIF87a", 6) || StartsWith(b, "GIF89a", 6)) return PictureKind::Gif;
    if (StartsWith(b, "BM", 2)) return PictureKind::Bmp;
    if (StartsWith(b, "\0\0\1\0", 4)) return PictureKind::Ico;
    if (LooksLikeSvg(b)) return PictureKind::Svg;
    return PictureKind::None;
}

PictureVerdict GuardPicture(const char* data, std::size_t size, PictureShape& shape)
{
    shape = PictureShape();
    shape.kind = shape.decodeAs = SniffPicture(data, size);
    shape.data = data;
    shape.size = size;
    const Bytes b{reinterpret_cast<const unsigned char*>(data), size};
    if (size > 0xffffffffu) return PictureVerdict::TooLarge;
    switch (shape.kind) {
    case PictureKind::Jpeg: return GuardJpeg(b, shape);
    case PictureKind::Png: return GuardPng(b, shape);
    case PictureKind::Gif: return GuardGif(b, shape);
    case PictureKind::Bmp: return GuardBmp(b, shape);
    case PictureKind::Ico: return GuardIco(b, shape);
    default: return PictureVerdict::NotAPicture;
    }
}

} // namespace vexa

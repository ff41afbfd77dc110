// Picture kinds and sizes read from the bytes, decoding through WIC, and the card's fitting.
#include "format/picture.h"

#include <windows.h>
#include <wincodec.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "com/ptr.h"

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
};

const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

bool StartsWith(const Bytes& b, const void* prefix, std::size_t n) noexcept
{
    return b.Has(0, n) && std::memcmp(b.p, prefix, n) == 0;
}

bool PngSize(const Bytes& b, std::uint32_t& w, std::uint32_t& h) noexcept
{
    if (!b.Has(0, 24) || std::memcmp(b.p + 12, "IHDR", 4) != 0)
        return false;
    w = b.Be32(16);
    h = b.Be32(20);
    return true;
}

// Whether every chunk of a PNG is there with its checksum, up to IEND. The platform's PNG
// decoder keeps the memory of an image it fails to fill (on x64), and a file cut short or
// changed on its way is what makes it fail.
bool PngIsWhole(const Bytes& b) noexcept
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    for (std::size_t at = 8; b.Has(at, 12);) {
        const std::size_t length = b.Be32(at);
        if (!b.Has(at + 8, length) || !b.Has(at + 8 + length, 4)) return false;
        std::uint32_t crc = 0xffffffffu;
        for (std::size_t i = at + 4; i < at + 8 + length; ++i) crc = table[(crc ^ b.p[i]) & 0xff] ^ (crc >> 8);
        if ((crc ^ 0xffffffffu) != b.Be32(at + 8 + length)) return false;
        if (std::memcmp(b.p + at + 4, "IEND", 4) == 0) return true;
        at += 12 + length;
    }
    return false;
}

// The frame sizes of the start-of-frame markers before the scan.
bool JpegSize(const Bytes& b, std::uint32_t& w, std::uint32_t& h) noexcept
{
    std::size_t at = 2;
    while (b.Has(at, 4)) {
        if (b.p[at] != 0xff)
            return false;
        const unsigned marker = b.p[at + 1];
        if (marker == 0xff) { ++at; continue; }            // fill byte
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8)) { at += 2; continue; }
        if (marker == 0xd9 || marker == 0xda)
            return false;                                    // no frame before the scan
        const std::size_t length = b.Be16(at + 2);
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (frame) {
            if (!b.Has(at, 9)) return false;
            h = b.Be16(at + 5);
            w = b.Be16(at + 7);
            return true;
        }
        if (length < 2) return false;
        at += 2 + length;
    }
    return false;
}

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

// The logical screen and every image descriptor: the largest of them. `whole` says whether
// every block is there up to the trailer and every image's data fills it: the platform's GIF
// decoder keeps the memory of an image it fails to fill, so such a file is not handed to it.
bool GifSize(const Bytes& b, std::uint32_t& w, std::uint32_t& h, bool* whole = nullptr) noexcept
{
    if (whole) *whole = false;
    if (!b.Has(0, 13)) return false;
    w = b.Le16(6);
    h = b.Le16(8);
    std::size_t at = 13;
    if (b.p[10] & 0x80) at += 3u << ((b.p[10] & 7) + 1);
    while (b.Has(at, 1)) {
        const unsigned char block = b.p[at];
        if (block == 0x3b) {
            if (whole) *whole = true;
            return true;
        }
        if (block == 0x21) {
            at += 2;
        } else if (block == 0x2c) {
            if (!b.Has(at, 10)) return false;
            w = std::max(w, b.Le16(at + 5));
            h = std::max(h, b.Le16(at + 7));
            const std::uint64_t pixels = static_cast<std::uint64_t>(b.Le16(at + 5)) * b.Le16(at + 7);
            const unsigned char flags = b.p[at + 9];
            at += 10;
            if (flags & 0x80) at += 3u << ((flags & 7) + 1);
            if (whole && !LzwGivesPixels(b, at, pixels)) return true; // the decoder would fail on it
            at += 1; // the LZW code size
        } else {
            return true; // what follows is not read by a decoder either
        }
        if (!SkipSubBlocks(b, at)) return true;
    }
    return true;
}

bool BmpSize(const Bytes& b, std::uint32_t& w, std::uint32_t& h) noexcept
{
    if (!b.Has(0, 26)) return false;
    if (b.Le32(14) == 12) {
        w = b.Le16(18);
        h = b.Le16(20);
        return true;
    }
    const auto sw = static_cast<std::int32_t>(b.Le32(18));
    const auto sh = static_cast<std::int32_t>(b.Le32(22));
    w = sw < 0 ? 0u - static_cast<std::uint32_t>(sw) : static_cast<std::uint32_t>(sw);
    h = sh < 0 ? 0u - static_cast<std::uint32_t>(sh) : static_cast<std::uint32_t>(sh);
    return true;
}

// The entries of the directory; an entry that holds a PNG is sized by the PNG's own header.
bool IcoSize(const Bytes& b, std::uint32_t& w, std::uint32_t& h) noexcept
{
    if (!b.Has(0, 6)) return false;
    const std::size_t count = b.Le16(4);
    if (count == 0 || !b.Has(6, count * 16)) return false;
    w = h = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = 6 + i * 16;
        std::uint32_t ew = b.p[entry] ? b.p[entry] : 256, eh = b.p[entry + 1] ? b.p[entry + 1] : 256;
        const std::size_t offset = b.Le32(entry + 12);
        const Bytes image{b.p + std::min(offset, b.size), b.size - std::min(offset, b.size)};
        if (StartsWith(image, kPngSignature, 8) && !PngSize(image, ew, eh))
            return false;
        if (image.Has(0, 12) && image.Le32(0) == 40) { // a bitmap's own header: twice the height
            ew = std::max(ew, image.Le32(4) & 0x7fffffffu);
            eh = std::max(eh, (image.Le32(8) & 0x7fffffffu) / 2);
        }
        w = std::max(w, ew);
        h = std::max(h, eh);
    }
    return true;
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

// The tent filter's taps for one axis: for each output index, its first source index and
// the weights of the sources from there.
struct Taps {
    std::vector<int> first;
    std::vector<std::vector<float>> weights;
};

Taps MakeTaps(int sourceLength, int sourceStart, int span, int side)
{
    Taps taps;
    const double scale = static_cast<double>(span) / side;
    const double radius = std::max(1.0, scale);
    for (int i = 0; i < side; ++i) {
        const double centre = (i + 0.5) * scale - 0.5 + sourceStart;
        int lo = static_cast<int>(std::floor(centre - radius)) + 1;
        int hi = static_cast<int>(std::ceil(centre + radius)) - 1;
        lo = std::max(lo, sourceStart);
        hi = std::min(hi, std::min(sourceStart + span, sourceLength) - 1);
        std::vector<float> w;
        double sum = 0;
        for (int x = lo; x <= hi; ++x) {
            const double weight = std::max(0.0, 1.0 - std::fabs(x - centre) / radius);
            w.push_back(static_cast<float>(weight));
            sum += weight;
        }
        if (w.empty() || sum <= 0) { // a point exactly between taps: the nearest source
            lo = std::clamp(static_cast<int>(std::lround(centre)), sourceStart, sourceStart + span - 1);
            w.assign(1, 1.0f);
            sum = 1;
        }
        for (float& f : w) f = static_cast<float>(f / sum);
        taps.first.push_back(lo);
        taps.weights.push_back(std::move(w));
    }
    return taps;
}

std::uint32_t PackPixel(const float c[4]) noexcept
{
    std::uint32_t v = 0;
    for (int k = 3; k >= 0; --k)
        v = v << 8 | static_cast<std::uint32_t>(std::clamp(std::lround(c[k]), 0L, 255L));
    return v;
}

// The frame with the most pixels (an icon holds several sizes; other kinds show frame 0).
HRESULT LargestFrame(IWICBitmapDecoder* decoder, PictureKind kind, com_ptr<IWICBitmapFrameDecode>& frame)
{
    UINT count = 0;
    HRESULT hr = decoder->GetFrameCount(&count);
    if (FAILED(hr) || count == 0) return FAILED(hr) ? hr : WINCODEC_ERR_FRAMEMISSING;
    if (kind != PictureKind::Ico) count = 1;
    std::uint64_t best = 0;
    for (UINT i = 0; i < count; ++i) {
        com_ptr<IWICBitmapFrameDecode> candidate;
        UINT w = 0, h = 0;
        if (FAILED(decoder->GetFrame(i, candidate.put())) || FAILED(candidate->GetSize(&w, &h)))
            continue;
        if (!frame || static_cast<std::uint64_t>(w) * h > best) {
            best = static_cast<std::uint64_t>(w) * h;
            frame = std::move(candidate);
        }
    }
    return frame ? S_OK : WINCODEC_ERR_FRAMEMISSING;
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

bool ProbePictureSize(const char* data, std::size_t size, PictureKind kind, std::uint32_t& width,
                      std::uint32_t& height) noexcept
{
    const Bytes b{reinterpret_cast<const unsigned char*>(data), size};
    width = height = 0;
    switch (kind) {
    case PictureKind::Jpeg: return JpegSize(b, width, height);
    case PictureKind::Png: return PngSize(b, width, height);
    case PictureKind::Gif: return GifSize(b, width, height);
    case PictureKind::Bmp: return BmpSize(b, width, height);
    case PictureKind::Ico: return IcoSize(b, width, height);
    default: return false;
    }
}

PictureVerdict DecodePicture(const char* data, std::size_t size, Pixels& out)
{
    out = Pixels();
    const PictureKind kind = SniffPicture(data, size);
    if (kind == PictureKind::None || kind == PictureKind::Svg)
        return PictureVerdict::NotAPicture;
    std::uint32_t w = 0, h = 0;
    if (!ProbePictureSize(data, size, kind, w, h) || w == 0 || h == 0)
        return PictureVerdict::Broken;
    if (static_cast<std::uint64_t>(w) * h > kMaxPicturePixels || size > 0xffffffffu)
        return PictureVerdict::TooLarge;
    bool whole = true;
    const Bytes bytes{reinterpret_cast<const unsigned char*>(data), size};
    if ((kind == PictureKind::Gif && (!GifSize(bytes, w, h, &whole) || !whole)) ||
        (kind == PictureKind::Png && !PngIsWhole(bytes)))
        return PictureVerdict::Broken;

    com_ptr<IWICImagingFactory> factory;
    com_ptr<IWICStream> stream;
    com_ptr<IWICBitmapDecoder> decoder;
    com_ptr<IWICBitmapFrameDecode> frame;
    com_ptr<IWICBitmapSource> converted;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                factory.put_void())) ||
        FAILED(factory->CreateStream(stream.put())) ||
        FAILED(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(data)), static_cast<DWORD>(size))) ||
        FAILED(factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.put())) ||
        FAILED(LargestFrame(decoder.get(), kind, frame)))
        return PictureVerdict::Broken;
    UINT fw = 0, fh = 0;
    if (FAILED(frame->GetSize(&fw, &fh)) || fw == 0 || fh == 0)
        return PictureVerdict::Broken;
    if (static_cast<std::uint64_t>(fw) * fh > kMaxPicturePixels)
        return PictureVerdict::TooLarge;
    if (FAILED(WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, frame.get(), converted.put())))
        return PictureVerdict::Broken;
    Pixels pixels;
    pixels.width = static_cast<int>(fw);
    pixels.height = static_cast<int>(fh);
    pixels.data.resize(static_cast<std::size_t>(fw) * fh);
    const WICRect all{0, 0, static_cast<INT>(fw), static_cast<INT>(fh)};
    if (FAILED(converted->CopyPixels(&all, fw * 4, static_cast<UINT>(pixels.Bytes()),
                                     reinterpret_cast<BYTE*>(pixels.data.data()))))
        return PictureVerdict::Broken;
    out = std::move(pixels);
    return PictureVerdict::Decoded;
}

Pixels FitPicture(const Pixels& source, int side)
{
    Pixels fitted;
    if (side <= 0 || source.width <= 0 || source.height <= 0 ||
        source.data.size() < static_cast<std::size_t>(source.width) * source.height)
        return fitted;
    const int span = std::min(source.width, source.height);
    const Taps across = MakeTaps(source.width, (source.width - span) / 2, span, side);
    const Taps down = MakeTaps(source.height, (source.height - span) / 2, span, side);
    // Across first, into rows of floats for the source rows that the square uses.
    const int top = (source.height - span) / 2;
    std::vector<float> rows(static_cast<std::size_t>(span) * side * 4);
    for (int y = 0; y < span; ++y) {
        const std::uint32_t* in = source.data.data() + static_cast<std::size_t>(top + y) * source.width;
        for (int x = 0; x < side; ++x) {
            float* c = &rows[(static_cast<std::size_t>(y) * side + x) * 4];
            const std::vector<float>& w = across.weights[x];
            for (std::size_t t = 0; t < w.size(); ++t) {
                const std::uint32_t p = in[across.first[x] + t];
                for (int k = 0; k < 4; ++k) c[k] += w[t] * ((p >> (8 * k)) & 0xff);
            }
        }
    }
    fitted.width = fitted.height = side;
    fitted.data.resize(static_cast<std::size_t>(side) * side);
    for (int y = 0; y < side; ++y) {
        const std::vector<float>& w = down.weights[y];
        for (int x = 0; x < side; ++x) {
            float c[4] = {};
            for (std::size_t t = 0; t < w.size(); ++t) {
                const float* r = &rows[(static_cast<std::size_t>(down.first[y] - top + t) * side + x) * 4];
                for (int k = 0; k < 4; ++k) c[k] += w[t] * r[k];
            }
            fitted.data[static_cast<std::size_t>(y) * side + x] = PackPixel(c);
        }
    }
    return fitted;
}

} // namespace vexa

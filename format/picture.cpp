// Decoding the pictures the guard passed through WIC, and the card's fitting.
#include "format/picture.h"

#include <windows.h>
#include <wincodec.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "com/check.h"
#include "com/ptr.h"
#include "format/pictureguard.h"

namespace vexa {

namespace {

// The container of a kind the guard passed: its decoder is named, so no other decoder
// installed on the system is ever asked to read a picture.
const GUID& Container(PictureKind kind) noexcept
{
    switch (kind) {
    case PictureKind::Jpeg: return GUID_ContainerFormatJpeg;
    case PictureKind::Png: return GUID_ContainerFormatPng;
    case PictureKind::Gif: return GUID_ContainerFormatGif;
    case PictureKind::Bmp: return GUID_ContainerFormatBmp;
    default: return GUID_ContainerFormatIco;
    }
}

// The CPU time the calling thread has spent, in milliseconds.
ULONGLONG ThreadCpuMs() noexcept
{
    FILETIME created, ended, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user)) return 0;
    const auto ms = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000; };
    return ms(kernel) + ms(user);
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

} // namespace

PictureVerdict DecodePicture(const char* data, std::size_t size, Pixels& out, unsigned cpuMs)
{
    const ULONGLONG cpuEnd = cpuMs == ~0u ? ~0ull : ThreadCpuMs() + cpuMs;
    out = Pixels();
    PictureShape shape;
    const PictureVerdict verdict = GuardPicture(data, size, shape);
    if (verdict != PictureVerdict::Decoded)
        return verdict;

    // Frame 0 only: the guard handed on only the one image of an icon that is shown.
    com_ptr<IWICImagingFactory> factory;
    com_ptr<IWICStream> stream;
    com_ptr<IWICBitmapDecoder> decoder;
    com_ptr<IWICBitmapFrameDecode> frame;
    com_ptr<IWICBitmapSource> converted;
    if (VEXA_FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                     factory.put_void())) ||
        VEXA_FAILED(factory->CreateStream(stream.put())) ||
        VEXA_FAILED(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(shape.data)),
                                                 static_cast<DWORD>(shape.size))) ||
        VEXA_FAILED(factory->CreateDecoder(Container(shape.decodeAs), nullptr, decoder.put())) ||
        VEXA_FAILED(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand)) ||
        VEXA_FAILED(decoder->GetFrame(0, frame.put())))
        return PictureVerdict::Broken;
    UINT fw = 0, fh = 0;
    if (VEXA_FAILED(frame->GetSize(&fw, &fh)) || fw == 0 || fh == 0)
        return PictureVerdict::Broken;
    if (fw > shape.width || fh > shape.height) // the decoder read a size the guard did not
        return PictureVerdict::TooLarge;
    if (VEXA_FAILED(WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, frame.get(), converted.put())))
        return PictureVerdict::Broken;
    Pixels pixels;
    pixels.width = static_cast<int>(fw);
    pixels.height = static_cast<int>(fh);
    pixels.data.resize(static_cast<std::size_t>(fw) * fh);
    // In bands, so that a decode that takes too long is given up between two.
    const UINT band = std::max<UINT>(1, (1u << 20) / fw);
    for (UINT top = 0; top < fh; top += band) {
        if (ThreadCpuMs() >= cpuEnd)
            return PictureVerdict::TooSlow;
        const UINT rows = std::min(band, fh - top);
        const WICRect part{0, static_cast<INT>(top), static_cast<INT>(fw), static_cast<INT>(rows)};
        if (VEXA_FAILED(converted->CopyPixels(&part, fw * 4, fw * 4 * rows,
                                              reinterpret_cast<BYTE*>(pixels.data.data() + static_cast<std::size_t>(top) * fw))))
            return PictureVerdict::Broken;
    }
    if (ThreadCpuMs() >= cpuEnd)
        return PictureVerdict::TooSlow;
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

// Pictures for tests: made in memory and encoded by the platform's own encoders.
#include "tests/support/pictures.h"

#include <wincodec.h>

#include "com/ptr.h"

using vexa::com_ptr;

namespace vexatest {

// A w x h picture: red left half, blue right half, opaque.
vexa::Pixels Halves(int w, int h)
{
    vexa::Pixels p{w, h, std::vector<std::uint32_t>(static_cast<std::size_t>(w) * h)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p.data[static_cast<std::size_t>(y) * w + x] = x < w / 2 ? 0xffff0000 : 0xff0000ff;
    return p;
}

// The picture encoded by the platform's own encoder of `format`.
std::string Encode(const vexa::Pixels& p, REFGUID format)
{
    com_ptr<IWICImagingFactory> f;
    com_ptr<IStream> stream;
    com_ptr<IWICBitmapEncoder> enc;
    com_ptr<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID pf = GUID_WICPixelFormat32bppBGRA;
    HGLOBAL memory = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory, f.put_void())) ||
        FAILED(CreateStreamOnHGlobal(nullptr, FALSE, stream.put())) || FAILED(f->CreateEncoder(format, nullptr, enc.put())) ||
        FAILED(enc->Initialize(stream.get(), WICBitmapEncoderNoCache)) || FAILED(enc->CreateNewFrame(frame.put(), nullptr)) ||
        FAILED(frame->Initialize(nullptr)) || FAILED(frame->SetSize(p.width, p.height)) || FAILED(frame->SetPixelFormat(&pf)))
        return {};
    // Rows in the format the encoder chose: BGRA as is, BGR packed, or two palette indices.
    const bool indexed = IsEqualGUID(pf, GUID_WICPixelFormat8bppIndexed);
    const int depth = IsEqualGUID(pf, GUID_WICPixelFormat32bppBGRA) ? 4 : indexed ? 1 : 3;
    const UINT stride = ((p.width * depth + 3) / 4) * 4;
    std::string rows(stride * p.height, '\0');
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const std::uint32_t v = p.data[static_cast<std::size_t>(y) * p.width + x];
            const char px[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
            if (indexed) rows[y * stride + x] = (v & 0xff) ? 1 : 0;
            else rows.replace(y * stride + x * depth, depth, px, depth);
        }
    com_ptr<IWICPalette> palette;
    WICColor colours[2] = {0xffff0000, 0xff0000ff};
    if (indexed && (FAILED(f->CreatePalette(palette.put())) || FAILED(palette->InitializeCustom(colours, 2)) ||
                    FAILED(frame->SetPalette(palette.get()))))
        return {};
    frame->WritePixels(p.height, stride, static_cast<UINT>(rows.size()), reinterpret_cast<BYTE*>(&rows[0]));
    if (FAILED(frame->Commit()) || FAILED(enc->Commit()) || FAILED(GetHGlobalFromStream(stream.get(), &memory)))
        return {};
    STATSTG st{};
    stream->Stat(&st, STATFLAG_NONAME);
    std::string bytes(static_cast<const char*>(GlobalLock(memory)), static_cast<std::size_t>(st.cbSize.QuadPart));
    GlobalUnlock(memory);
    GlobalFree(memory);
    return bytes;
}

} // namespace vexatest

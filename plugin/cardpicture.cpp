#include "plugin/cardpicture.h"

#include "com/check.h"
#include "com/owners.h"

namespace vexa {

bool ScreenWantsLargeCards() noexcept
{
    unique_window_dc screen(nullptr);
    return screen && GetDeviceCaps(screen.get(), LOGPIXELSY) > 120;
}

HRESULT MakeCardPicture(const Pixels& pixels, COLORREF background, com_ptr<IPicture>& picture) noexcept
{
    picture.reset();
    if (pixels.width <= 0 || pixels.height <= 0 ||
        pixels.data.size() != static_cast<std::size_t>(pixels.width) * pixels.height)
        return E_INVALIDARG;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = pixels.width;
    info.bmiHeader.biHeight = -pixels.height; // top-down rows, as the pixels are
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    unique_hbitmap bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits)
        return E_OUTOFMEMORY;
    // Premultiplied pixels over the background: out = colour + background * (1 - alpha).
    const unsigned bg[3] = {GetBValue(background), GetGValue(background), GetRValue(background)};
    auto* out = static_cast<std::uint32_t*>(bits);
    for (std::size_t i = 0; i < pixels.data.size(); ++i) {
        const std::uint32_t p = pixels.data[i];
        const unsigned rest = 255 - (p >> 24);
        std::uint32_t v = 0xff000000u;
        for (int k = 0; k < 3; ++k) {
            const unsigned c = ((p >> (8 * k)) & 0xff) + (bg[k] * rest + 127) / 255;
            v |= (c > 255 ? 255u : c) << (8 * k);
        }
        out[i] = v;
    }
    PICTDESC desc{};
    desc.cbSizeofstruct = sizeof(PICTDESC);
    desc.picType = PICTYPE_BITMAP;
    desc.bmp.hbitmap = bitmap.get();
    VEXA_RETURN_IF_FAILED(OleCreatePictureIndirect(&desc, IID_IPicture, TRUE, picture.put_void()));
    bitmap.release();
    return S_OK;
}

} // namespace vexa

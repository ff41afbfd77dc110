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

namespace {

std::string Le(std::uint32_t v, int bytes)
{
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
}

std::string Be32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string Chunk(const char* type, const std::string& data)
{
    const std::string body = type + data;
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char c : body) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = crc & 1 ? 0xedb88320u ^ (crc >> 1) : crc >> 1;
    }
    return Be32(static_cast<std::uint32_t>(data.size())) + body + Be32(crc ^ 0xffffffffu);
}

} // namespace

std::string RawPng(std::uint32_t w, std::uint32_t h, const std::string& rows, bool dataSum)
{
    std::string zlib("\x78\x01", 2);
    zlib += '\x01'; // the last block, stored
    zlib += Le(static_cast<std::uint32_t>(rows.size()), 2) + Le(~static_cast<std::uint32_t>(rows.size()), 2) + rows;
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : rows) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    zlib += Be32((b << 16 | a) ^ (dataSum ? 0 : 1));
    return "\x89PNG\r\n\x1a\n" + Chunk("IHDR", Be32(w) + Be32(h) + std::string("\x08\x02\0\0\0", 5)) +
           Chunk("IDAT", zlib) + Chunk("IEND", "");
}

std::string GifFrames(const std::string& gif, int count)
{
    std::size_t image = 13, end = 0;
    if (gif[10] & 0x80) image += 3u << ((gif[10] & 7) + 1);
    for (; gif[image] == 0x21; ++image)
        for (image += 2; gif[image]; image += 1 + static_cast<unsigned char>(gif[image])) {}
    end = image + 10 + (gif[image + 9] & 0x80 ? 3u << ((gif[image + 9] & 7) + 1) : 0) + 1;
    for (; gif[end]; end += 1 + static_cast<unsigned char>(gif[end])) {}
    std::string out = gif.substr(0, image);
    for (int i = 0; i < count; ++i) out += gif.substr(image, end + 1 - image);
    return out + ";";
}

std::string IconBitmap(std::uint32_t header, std::uint32_t w, std::uint32_t height, std::size_t dataBytes)
{
    std::string dib = Le(header, 4);
    dib += header == 12 ? Le(w, 2) + Le(height, 2) : Le(w, 4) + Le(height, 4);
    dib += Le(1, 2) + Le(32, 2);
    dib.resize(header, '\0');
    return dib + std::string(dataBytes, '\x80');
}

std::string Icon(std::initializer_list<std::string> images)
{
    std::string directory = std::string("\0\0\1\0", 4) + Le(static_cast<std::uint32_t>(images.size()), 2), data;
    for (const std::string& image : images) {
        const std::size_t offset = 6 + 16 * images.size() + data.size();
        directory += std::string("\0\0\0\0\1\0\x20\0", 8) + Le(static_cast<std::uint32_t>(image.size()), 4) +
                     Le(static_cast<std::uint32_t>(offset), 4);
        data += image;
    }
    return directory + data;
}

} // namespace vexatest

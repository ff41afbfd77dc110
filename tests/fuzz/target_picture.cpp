// Target "picture": pictures as the web serves them, whole, cut, bit-flipped, with sizes in
// their headers rewritten, and things that are no picture at all, through the decoder path
// (guard, decode, fit); and the shapes made to hurt a decoder: icons whose bitmap header is
// of every size the decoder reads, GIFs of many frames, PNGs whose data cannot fill them or
// whose rows carry unknown filters, JPEGs of many scans, sizes declared huge. Oracles:
// nothing crashes; a decoded picture has the pixels its size says and never more than the
// bound; a fitted card is whole; the runner's checks after every batch find the process's
// memory, handles and threads where they were.
#include <wincodec.h>

#include <algorithm>

#include "format/picture.h"
#include "tests/fuzz/rng.h"
#include "tests/fuzz/targets.h"
#include "tests/support/pictures.h"

namespace fuzz {

namespace {

const GUID* const kFormats[] = {&GUID_ContainerFormatPng, &GUID_ContainerFormatBmp, &GUID_ContainerFormatJpeg,
                                &GUID_ContainerFormatGif};

// A picture of random size and colours, encoded; a few times an icon around a PNG.
std::string MakeEncoded(Rng& rng, int most = 600)
{
    const int w = rng.Size(64, most) + 1, h = rng.Size(64, most) + 1;
    vexa::Pixels p = vexatest::Halves(w, h);
    for (std::uint32_t& v : p.data)
        if (rng.Chance(5)) v = static_cast<std::uint32_t>(rng.Next());
    const std::string bytes = vexatest::Encode(p, *kFormats[rng.Below(4)]);
    if (!rng.Chance(10) || bytes.compare(0, 4, "\x89PNG") != 0)
        return bytes;
    return vexatest::Icon({bytes});
}

// A size as a hostile header gives it: often sane, else at or past a bound.
std::uint32_t Side(Rng& rng)
{
    static const std::vector<std::uint32_t> huge = {4000, 4001, 32767, 32768, 65535, 65536, 0x7fffffffu, 0x80000000u, 0xffffffffu, 0};
    return rng.Chance(60) ? static_cast<std::uint32_t>(rng.Range(1, 300)) : rng.Pick(huge);
}

// The shapes made to hurt a decoder.
std::string MakeHostile(Rng& rng)
{
    switch (rng.Below(5)) {
    case 0: { // icons: bitmap headers of every size, one entry or several, rows all there or not
        static const std::vector<std::uint32_t> headers = {12, 16, 40, 52, 56, 64, 108, 124, 20, 200};
        std::string entries[3];
        const int count = rng.Range(1, 3);
        for (int i = 0; i < count; ++i) {
            const std::uint32_t w = Side(rng), h = Side(rng);
            const std::size_t full = static_cast<std::size_t>(std::min<std::uint64_t>(
                static_cast<std::uint64_t>(w) * h * 4 + (w + 31) / 32 * 4 * h, 1u << 20));
            entries[i] = rng.Chance(20) ? MakeEncoded(rng, 100)
                                        : vexatest::IconBitmap(rng.Pick(headers), w, h * 2, rng.Chance(50) ? full : rng.Below(static_cast<std::uint32_t>(full) + 1));
        }
        return count == 1 ? vexatest::Icon({entries[0]}) : count == 2 ? vexatest::Icon({entries[0], entries[1]})
                                                                       : vexatest::Icon({entries[0], entries[1], entries[2]});
    }
    case 1: { // GIFs of many frames, their size sometimes rewritten
        std::string gif = vexatest::GifFrames(vexatest::Encode(vexatest::Halves(rng.Range(1, 200), rng.Range(1, 200)), GUID_ContainerFormatGif),
                                              rng.Chance(50) ? rng.Range(1, 80) : rng.Range(60, 200));
        if (rng.Chance(30)) { gif[6] = static_cast<char>(0xff); gif[7] = static_cast<char>(0x7f); }
        return gif;
    }
    case 2: { // PNGs whose data fills their image, or less, or more, or carries unknown filters
        const std::uint32_t w = rng.Chance(70) ? static_cast<std::uint32_t>(rng.Range(1, 200)) : Side(rng);
        const std::uint32_t h = rng.Chance(70) ? static_cast<std::uint32_t>(rng.Range(1, 200)) : Side(rng);
        const std::size_t row = 1 + 3 * static_cast<std::size_t>(std::min<std::uint32_t>(w, 4000));
        std::string rows;
        for (std::uint32_t y = 0; y < std::min<std::uint32_t>(h, 200) && rows.size() < (1u << 19); ++y) {
            rows += static_cast<char>(rng.Chance(2) ? rng.Range(5, 255) : rng.Range(0, 4));
            rows += std::string(row - 1, static_cast<char>(rng.Next()));
        }
        if (rng.Chance(30)) rows.resize(rng.Below(static_cast<std::uint32_t>(rows.size()) + 1));
        if (rng.Chance(10)) rows += std::string(rng.Range(1, 64), '\0');
        return vexatest::RawPng(w, h, rows.substr(0, 65535), !rng.Chance(5));
    }
    case 3: { // JPEGs whose scans are many: the first scan repeated, the frame made progressive
        std::string jpeg = vexatest::Encode(vexatest::Halves(rng.Range(8, 200), rng.Range(8, 200)), GUID_ContainerFormatJpeg);
        const std::size_t sos = jpeg.find("\xff\xda"), eoi = jpeg.rfind("\xff\xd9");
        if (sos == std::string::npos || eoi == std::string::npos || eoi < sos) return jpeg;
        const std::string scan = jpeg.substr(sos, eoi - sos);
        std::string out = jpeg.substr(0, sos);
        for (int i = rng.Chance(50) ? rng.Range(1, 20) : rng.Range(90, 300); i > 0; --i) out += scan;
        const std::size_t sof = out.find("\xff\xc0");
        if (sof != std::string::npos && rng.Chance(70)) out[sof + 1] = '\xc2';
        return out + "\xff\xd9";
    }
    default: { // a whole picture whose header declares a huge size
        std::string bytes = MakeEncoded(rng, 100);
        const std::uint32_t v = Side(rng);
        const char be[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}, le[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
        if (bytes.compare(0, 4, "\x89PNG") == 0 && bytes.size() > 24) bytes.replace(16 + 4 * rng.Below(2), 4, be, 4);
        else if (bytes.compare(0, 2, "BM") == 0 && bytes.size() > 26) bytes.replace(18 + 4 * rng.Below(2), 4, le, 4);
        else if (bytes.compare(0, 3, "GIF") == 0 && bytes.size() > 10) bytes.replace(6 + 2 * rng.Below(2), 2, le, 2);
        else if (std::size_t sof = bytes.find("\xff\xc0"); sof != std::string::npos && sof + 9 < bytes.size())
            bytes.replace(sof + 5 + 2 * rng.Below(2), 2, be + 2, 2);
        return bytes;
    }
    }
}

std::string MakePicture(Rng& rng) { return rng.Chance(40) ? MakeHostile(rng) : MakeEncoded(rng); }

// What the web does to a picture: cut it, flip bytes, claim huge sizes, splice two.
void Mutate(Rng& rng, std::string& bytes)
{
    switch (rng.Below(6)) {
    case 0: bytes.resize(rng.Below(static_cast<std::uint32_t>(bytes.size()) + 1)); break;
    case 1:
        for (int i = rng.Range(1, 16); i > 0 && !bytes.empty(); --i) bytes[rng.Below(static_cast<std::uint32_t>(bytes.size()))] ^= static_cast<char>(1 << rng.Below(8));
        break;
    case 2: // a size field early in the header becomes large
        for (int i = rng.Range(1, 3); i > 0 && bytes.size() > 32; --i) bytes[rng.Range(4, 31)] = static_cast<char>(rng.Chance(50) ? 0xff : 0x7f);
        break;
    case 3: bytes.insert(rng.Below(static_cast<std::uint32_t>(bytes.size()) + 1), MakePicture(rng).substr(0, rng.Size(200, 4000))); break;
    case 4: bytes = rng.Pick(std::vector<std::string>{"<svg xmlns=\"http://www.w3.org/2000/svg\"/>", "<html>403</html>", "", "GIF89a", "BM", std::string("\0\0\1\0", 4)}) + bytes.substr(0, rng.Size(64, 2000)); break;
    default: break; // whole
    }
}

} // namespace

void RunPicture(std::uint64_t inputSeed, Result& result)
{
    Rng rng(inputSeed);
    std::string bytes = MakePicture(rng);
    Mutate(rng, bytes);
    result.SetBytes(bytes);
    vexa::Pixels decoded;
    const vexa::PictureVerdict verdict = vexa::DecodePicture(bytes.data(), bytes.size(), decoded, 2000);
    if (verdict != vexa::PictureVerdict::Decoded) {
        if (!decoded.data.empty()) result.Fail("a refused picture left pixels");
        return;
    }
    if (decoded.width <= 0 || decoded.height <= 0 ||
        decoded.data.size() != static_cast<std::size_t>(decoded.width) * decoded.height ||
        decoded.data.size() > vexa::kMaxPicturePixels)
        return result.Fail("decoded " + std::to_string(decoded.width) + "x" + std::to_string(decoded.height) +
                           " with " + std::to_string(decoded.data.size()) + " pixels");
    for (int side : {64, 128}) {
        const vexa::Pixels card = vexa::FitPicture(decoded, side);
        if (card.width != side || card.height != side || card.data.size() != static_cast<std::size_t>(side) * side)
            return result.Fail("a card of " + std::to_string(side) + " is not whole");
    }
}

} // namespace fuzz

// Target "picture": pictures as the web serves them, whole, cut, bit-flipped, with sizes in
// their headers rewritten, and things that are no picture at all, through the decoder path
// (kind, size, decode, fit). Oracles: nothing crashes; a decoded picture has the pixels its
// size says and never more than the bound; a fitted card is whole.
#include <wincodec.h>

#include "format/picture.h"
#include "tests/fuzz/rng.h"
#include "tests/fuzz/targets.h"
#include "tests/support/pictures.h"

namespace fuzz {

namespace {

const GUID* const kFormats[] = {&GUID_ContainerFormatPng, &GUID_ContainerFormatBmp, &GUID_ContainerFormatJpeg,
                                &GUID_ContainerFormatGif};

// A picture of random size and colours, encoded; a few times an icon around a PNG.
std::string MakePicture(Rng& rng)
{
    const int w = rng.Size(64, 600) + 1, h = rng.Size(64, 600) + 1;
    vexa::Pixels p = vexatest::Halves(w, h);
    for (std::uint32_t& v : p.data)
        if (rng.Chance(5)) v = static_cast<std::uint32_t>(rng.Next());
    const std::string bytes = vexatest::Encode(p, *kFormats[rng.Below(4)]);
    if (!rng.Chance(10) || bytes.compare(0, 4, "\x89PNG") != 0)
        return bytes;
    std::string ico("\0\0\1\0\1\0", 6);
    ico += std::string{char(w & 0xff), char(h & 0xff), 0, 0, 1, 0, 32, 0};
    for (std::uint32_t v : {static_cast<std::uint32_t>(bytes.size()), 22u}) ico.append({char(v), char(v >> 8), char(v >> 16), char(v >> 24)});
    return ico + bytes;
}

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
    const vexa::PictureVerdict verdict = vexa::DecodePicture(bytes.data(), bytes.size(), decoded);
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

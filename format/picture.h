// Pictures of feed entries: what kind of picture some bytes are, how large their header says
// they are, decoding them through the platform's imaging component, and fitting them to a card.
// A picture is input like a feed: the kind and the size are read from the bytes before any
// decoder sees them, so a picture that claims too many pixels is never decoded.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexa {

// A decoded picture: premultiplied BGRA pixels (0xAARRGGBB), rows top-down.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> data;
    std::size_t Bytes() const noexcept { return data.size() * sizeof(std::uint32_t); }
};

enum class PictureKind { None, Jpeg, Png, Gif, Bmp, Ico, Svg };

// The kind that the first bytes name (SVG by its markup; None for anything else).
PictureKind SniffPicture(const char* data, std::size_t size) noexcept;

// More pixels than this (16 megapixels) are refused before decoding.
constexpr std::uint64_t kMaxPicturePixels = 16ull * 1000 * 1000;

enum class PictureVerdict {
    Decoded,
    NotAPicture, // none of the kinds shown (SVG is refused too)
    TooLarge,    // more than kMaxPicturePixels, or a size that cannot be read
    Broken,      // the decoder refused it
    TooSlow,     // its decoding took more than its bound of CPU time
};

// Decodes a JPEG, PNG, GIF (its first frame), BMP or ICO (its largest entry) picture that the
// guard (format/pictureguard.h) passed, giving it up once the calling thread has spent
// `cpuMs` of CPU time on it (checked between bands of rows). Needs COM on the calling thread.
PictureVerdict DecodePicture(const char* data, std::size_t size, Pixels& out, unsigned cpuMs = ~0u);

// The centre square of `source`, scaled to side x side with a tent filter as wide as the
// scale (area averaging when shrinking, bilinear when growing).
Pixels FitPicture(const Pixels& source, int side);

} // namespace vexa

// The guard in front of the platform's picture decoders. A picture is input from the web like
// a feed, and the decoders run inside the host's process: before one sees a picture, the guard
// reads every header the decoder would read (each size of a bitmap header, every frame of a
// GIF, every entry of an icon directory) and checks that the data can fill the image it
// declares (a PNG's data is inflated, with a bound; a GIF's LZW codes are counted; a bitmap's
// rows are there). What it cannot vouch for is refused. Pure: no platform call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "format/picture.h"

namespace vexa {

// More than this many frames (a GIF's images) are refused, as is a JPEG of more scans.
constexpr unsigned kMaxPictureFrames = 64;
constexpr unsigned kMaxJpegScans = 100;

// What the guard learned, and what the decoder is to be handed.
struct PictureShape {
    PictureKind kind = PictureKind::None;
    std::uint32_t width = 0, height = 0; // the largest frame the decoder makes
    std::uint64_t area = 0;              // the pixels of all frames the decoder makes
    unsigned frames = 0;
    // The bytes for the decoder: the picture itself, or an icon's largest entry only (a PNG
    // entry as it is, a bitmap entry as an icon of that one entry, in `icon`).
    const char* data = nullptr;
    std::size_t size = 0;
    PictureKind decodeAs = PictureKind::None;
    std::string icon;
};

// Decoded here means the picture may go to a decoder (`shape` says how); otherwise the reason
// it may not: NotAPicture, TooLarge (pixels, frames or scans past the bounds), Broken.
PictureVerdict GuardPicture(const char* data, std::size_t size, PictureShape& shape);

} // namespace vexa

// Pictures for tests: made in memory and encoded by the platform's own encoders.
#pragma once
#include <windows.h>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "format/picture.h"

namespace vexatest {

// A w x h picture: red left half, blue right half, opaque.
vexa::Pixels Halves(int w, int h);

// The picture encoded by the platform's own encoder of `format` (GUID_ContainerFormatPng, ...);
// empty when it cannot be encoded.
std::string Encode(const vexa::Pixels& p, REFGUID format);

// A PNG of w x h (colour type 2, 8 bits) whose image data is `rows` in one stored zlib block,
// every chunk's checksum right (the data's own too unless `dataSum` is false): the rows (each a
// filter byte and 3w bytes) may be cut, longer or wrong.
std::string RawPng(std::uint32_t w, std::uint32_t h, const std::string& rows, bool dataSum = true);

// The first image of a GIF (its descriptor, colour table and data, after any extensions)
// `count` times over, then the trailer.
std::string GifFrames(const std::string& gif, int count);

// An icon's bitmap: a header of `header` bytes (12, 40, 64, 108, 124) whose fields say w wide,
// `height` high (an icon's bitmap counts its mask's rows too) and 32 bits a pixel, then
// `dataBytes` bytes of rows and mask.
std::string IconBitmap(std::uint32_t header, std::uint32_t w, std::uint32_t height, std::size_t dataBytes);
// An icon whose directory lists `images` (PNGs or bitmaps) in order.
std::string Icon(std::initializer_list<std::string> images);

} // namespace vexatest

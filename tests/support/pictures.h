// Pictures for tests: made in memory and encoded by the platform's own encoders.
#pragma once
#include <windows.h>
#include <string>

#include "format/picture.h"

namespace vexatest {

// A w x h picture: red left half, blue right half, opaque.
vexa::Pixels Halves(int w, int h);

// The picture encoded by the platform's own encoder of `format` (GUID_ContainerFormatPng, ...);
// empty when it cannot be encoded.
std::string Encode(const vexa::Pixels& p, REFGUID format);

} // namespace vexatest

// A card's picture as the host takes it: a bitmap picture object that owns its bitmap.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "com/ptr.h"
#include "format/picture.h"

namespace vexa {

// The card's image side in logical pixels, and at 192 dpi.
constexpr int kCardSide = 64;
constexpr int kCardSideLarge = 128;

// Whether the screen's dpi calls for the large card (above 120 dpi).
bool ScreenWantsLargeCards() noexcept;

// A picture object of `pixels` laid over `background` where they are not opaque; the object
// owns its bitmap (fOwn TRUE).
HRESULT MakeCardPicture(const Pixels& pixels, COLORREF background, com_ptr<IPicture>& picture) noexcept;

} // namespace vexa

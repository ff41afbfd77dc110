// The panel's geometry at 96 dpi, in one place: Layout sizes rows and text from it and the
// paint code draws by it, so the two cannot disagree. Private to the panel window's files.
#pragma once

namespace host {
namespace panel {

constexpr int kDockedWidth = 320;
constexpr int kMinWidth = 200;
constexpr int kCaptionHeight = 56;
constexpr int kCaptionIconLeft = 12;
constexpr int kCaptionTitleTop = 10;
constexpr int kCaptionStatusTop = 21; // below the title's top
constexpr int kButtonSize = 30;       // the settings button
constexpr int kButtonRight = 10;
constexpr int kButtonGap = 8;         // between the caption texts and the button
constexpr int kHealthMarkSize = 16;   // the failing-feeds mark, left of the settings button
constexpr int kCardMargin = 6;        // around each card: above, left and right
constexpr int kCardPadding = 10;      // inside a card: above and left of the picture and text
constexpr int kCardBottom = 8;        // inside a card: below the time line
constexpr int kCardRadius = 8;
constexpr int kPictureSize = 32;      // an item's icon and the caption's icon
constexpr int kCardPictureSize = 64;  // an item's own picture (a bitmap): the card's image size
constexpr int kPictureGap = 10;       // between a picture and its text
constexpr int kTextRight = 10;        // right of a card's text
constexpr int kSectionGap = 3;        // between heading, body and time
constexpr int kMinTextWidth = 24;
constexpr int kMarkInset = 4;         // the "new" mark's distance from the card's top and bottom
constexpr int kMarkWidth = 3;
constexpr int kHeadingLines = 2;
constexpr int kBodyLines = 3;

} // namespace panel
} // namespace host

// The size of a property page as a property sheet lays it out: the dialog template's size in
// dialog units, turned into pixels with the metrics of the page's font and of the sheet's.
// Reading a template and the arithmetic are pure functions of their inputs; measuring fonts
// and finding templates use the screen and the modules.
#pragma once
#include <windows.h>
#include <string>

namespace vexa {

// What sizing needs from a dialog template.
struct DialogTemplateInfo {
    short cx = 0; // dialog units
    short cy = 0;
    bool hasFont = false;
    WORD points = 0;
    std::wstring face;
};

// Reads the size and font of a dialog template, plain or extended, from its bytes; false
// when the bytes are too short for what the template says it holds.
bool ParseDialogTemplate(const void* data, DWORD bytes, DialogTemplateInfo* info);

struct FontMetrics {
    int avgWidth;   // of the 52 letters A-Z a-z, rounded
    int charHeight; // tmHeight + tmExternalLeading
    int textHeight; // tmHeight
};

// The page in pixels: its width from its own font's average width; its height from the
// sheet font's line height, scaled by the two fonts' text heights, when the sheet's font is
// known (sheetFont not null), else from the page font.
SIZE PageSizeFromMetrics(const DialogTemplateInfo& page, const FontMetrics& pageFont,
                         const FontMetrics* sheetFont);

enum class TemplateLoad { Loaded, Missing, Unreadable };

// Finds dialog template id in a module and reads it.
TemplateLoad LoadDialogTemplate(HMODULE module, WORD id, DialogTemplateInfo* info);

// The template's size in pixels as a property sheet lays it out on this screen.
SIZE PageSizeInPixels(const DialogTemplateInfo& page);

} // namespace vexa

#include "settings/pagesize.h"

#include "com/owners.h"

namespace vexa {
namespace {

// The property sheet's own dialog template in the common controls library: its font is
// the one the frame lays pages out with.
constexpr WORD kPropertySheetTemplate = 1006;

const wchar_t kSizingLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Skips a template string or ordinal field (0x0000, 0xFFFF + ordinal, or a NUL-terminated
// text), returning the text when there is one.
const WORD* SkipField(const WORD* p, const WORD* end, std::wstring* text = nullptr)
{
    if (p >= end) return end;
    if (*p == 0x0000) return p + 1;
    if (*p == 0xFFFF) return p + 2;
    const WORD* start = p;
    while (p < end && *p) ++p;
    if (text) text->assign(reinterpret_cast<const wchar_t*>(start), p - start);
    return p < end ? p + 1 : end;
}

// Metrics of a font given by face and point size on the screen; the dialog base units
// when there is no face or no screen.
FontMetrics MeasureFont(const std::wstring& face, WORD points)
{
    LONG base = GetDialogBaseUnits();
    FontMetrics metrics = {LOWORD(base), HIWORD(base), HIWORD(base)};
    unique_window_dc dc(nullptr);
    if (face.empty() || !dc)
        return metrics;
    LOGFONTW lf = {};
    lf.lfHeight = -MulDiv(points, GetDeviceCaps(dc.get(), LOGPIXELSY), 72);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(lf.lfFaceName, face.c_str(), LF_FACESIZE);
    unique_hfont font(CreateFontIndirectW(&lf));
    if (font) {
        unique_select_object selected(dc.get(), font.get());
        TEXTMETRICW tm = {};
        SIZE extent = {};
        if (GetTextMetricsW(dc.get(), &tm) && GetTextExtentPoint32W(dc.get(), kSizingLetters, 52, &extent)) {
            metrics.avgWidth = (extent.cx + 26) / 52;
            metrics.charHeight = tm.tmHeight + tm.tmExternalLeading;
            metrics.textHeight = tm.tmHeight;
        }
    }
    return metrics;
}

} // namespace

bool ParseDialogTemplate(const void* data, DWORD bytes, DialogTemplateInfo* info)
{
    const WORD* words = static_cast<const WORD*>(data);
    const WORD* end = words + bytes / sizeof(WORD);
    DWORD style = 0;
    const WORD* p = nullptr;
    if (bytes >= 26 && words[0] == 1 && words[1] == 0xFFFF) {
        // DLGTEMPLATEEX: dlgVer, signature, helpID, exStyle, style, cDlgItems, x, y, cx, cy
        const BYTE* b = static_cast<const BYTE*>(data);
        style = *reinterpret_cast<const DWORD*>(b + 12);
        info->cx = *reinterpret_cast<const short*>(b + 22);
        info->cy = *reinterpret_cast<const short*>(b + 24);
        p = words + 13;
        p = SkipField(p, end);               // menu
        p = SkipField(p, end);               // class
        p = SkipField(p, end);               // title
        if (style & (DS_SETFONT | DS_SHELLFONT)) {
            if (end - p < 3) return false;
            info->points = p[0];
            p += 3;                          // points, weight, italic + charset
            SkipField(p, end, &info->face);
            info->hasFont = true;
        }
        return true;
    }
    if (bytes < sizeof(DLGTEMPLATE)) return false;
    const DLGTEMPLATE* plain = static_cast<const DLGTEMPLATE*>(data);
    style = plain->style;
    info->cx = plain->cx;
    info->cy = plain->cy;
    p = words + sizeof(DLGTEMPLATE) / sizeof(WORD);
    p = SkipField(p, end);
    p = SkipField(p, end);
    p = SkipField(p, end);
    if (style & DS_SETFONT) {
        if (end - p < 1) return false;
        info->points = p[0];
        SkipField(p + 1, end, &info->face);
        info->hasFont = true;
    }
    return true;
}

SIZE PageSizeFromMetrics(const DialogTemplateInfo& page, const FontMetrics& pageFont,
                         const FontMetrics* sheetFont)
{
    SIZE size;
    size.cx = MulDiv(page.cx, pageFont.avgWidth, 4);
    size.cy = MulDiv(page.cy, pageFont.charHeight, 8);
    if (sheetFont && sheetFont->textHeight > 0) {
        size.cy = MulDiv(page.cy, sheetFont->charHeight, 8);
        size.cy = MulDiv(size.cy, pageFont.textHeight, sheetFont->textHeight);
    }
    return size;
}

TemplateLoad LoadDialogTemplate(HMODULE module, WORD id, DialogTemplateInfo* info)
{
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    if (!res) return TemplateLoad::Missing;
    HGLOBAL global = LoadResource(module, res);
    const void* data = global ? LockResource(global) : nullptr;
    if (!data || !ParseDialogTemplate(data, SizeofResource(module, res), info))
        return TemplateLoad::Unreadable;
    return TemplateLoad::Loaded;
}

SIZE PageSizeInPixels(const DialogTemplateInfo& page)
{
    FontMetrics pageFont = page.hasFont ? MeasureFont(page.face, page.points)
                                        : MeasureFont(std::wstring(), 0);
    unique_hmodule comctl(LoadLibraryW(L"comctl32.dll"));
    DialogTemplateInfo sheet;
    if (comctl && LoadDialogTemplate(comctl.get(), kPropertySheetTemplate, &sheet) == TemplateLoad::Loaded &&
        sheet.hasFont) {
        FontMetrics sheetFont = MeasureFont(sheet.face, sheet.points);
        return PageSizeFromMetrics(page, pageFont, &sheetFont);
    }
    return PageSizeFromMetrics(page, pageFont, nullptr);
}

} // namespace vexa

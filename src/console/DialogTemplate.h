// The console dialog's template: every control of the window (OK 1, "EXIT" 2,
// the tab control 1000 and 1001..1182) with its kind, style and radio group.
// Rows of the layout table give the kinds and the first places; the tab
// control, the status line and "EXIT" stand in dialog units, converted with the
// host's dialog base units when the window is built.
#pragma once

#include "console/LayoutTable.h"
#include "framework/Host.h"

#include <array>
#include <cstdint>

enum class RadioGroup : std::uint8_t { None, Com, SenDiagBox, TestBox };

struct TemplateEntry {  // id, kind, caption, rect, style, radio group, rect in dialog units
    int id;
    fw::CtlKind kind;
    const char* caption;
    fw::Rect rect;
    std::uint32_t style;
    RadioGroup group;
    bool bDialogUnits;
};

inline constexpr std::size_t kTemplateControls = 185;  // 1, 2, 1000, 1001..1182
inline constexpr int kDialogWidthDu = 287;
inline constexpr int kDialogHeightDu = 246;

// The template, in creation order: radios of one group stand together, the
// first of each group marked as its start.
extern const std::array<TemplateEntry, kTemplateControls> g_DialogTemplate;

// Rounded a * b / c, as the platform's MulDiv does it for positive values.
constexpr int MulDiv(int a, int b, int c) {
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>((p + c / 2) / c);
}

// Dialog units to pixels with the given base units.
constexpr fw::Rect DuToPixels(fw::Rect du, fw::Host::BaseUnits bu) {
    return fw::Rect{MulDiv(du.x, bu.cx, 4), MulDiv(du.y, bu.cy, 8), MulDiv(du.w, bu.cx, 4),
                    MulDiv(du.h, bu.cy, 8)};
}

// The template converted for a host: pixel rectangles, ready for CreateDialog.
std::array<fw::ControlTemplate, kTemplateControls> BuildControls(fw::Host::BaseUnits bu);

// The first layout row of control id, or nullptr when it is in no row.
const LayoutRow* FirstLayoutRow(int id);

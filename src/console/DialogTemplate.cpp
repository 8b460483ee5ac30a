#include "console/DialogTemplate.h"

#include "console/ControlIds.h"

namespace {

// Index of the first layout row of a control, or kLayoutRows when it has none.
// (An index rather than a pointer: comparing pointers to null is not a constant
// expression in sanitized builds.)
constexpr std::size_t FindRowIndex(int id) {
    for (std::size_t i = 0; i < kLayoutRows; ++i)
        if (g_Layout[i].id == id) return i;
    return kLayoutRows;
}

const LayoutRow* FindRow(int id) {
    const std::size_t i = FindRowIndex(id);
    return i < kLayoutRows ? &g_Layout[i] : nullptr;
}

constexpr fw::CtlKind KindOf(LayoutKind k) {
    switch (k) {
    case LayoutKind::PushButton: return fw::CtlKind::PushButton;
    case LayoutKind::CheckBox: return fw::CtlKind::CheckBox;
    case LayoutKind::Radio: return fw::CtlKind::Radio;
    case LayoutKind::GroupBox: return fw::CtlKind::GroupBox;
    case LayoutKind::StaticText: return fw::CtlKind::StaticText;
    case LayoutKind::EditDigits:
    case LayoutKind::EditRight: return fw::CtlKind::Edit;
    case LayoutKind::EditMulti: return fw::CtlKind::EditMulti;
    case LayoutKind::Progress: return fw::CtlKind::Progress;
    }
    return fw::CtlKind::StaticText;
}

constexpr std::uint32_t StyleOf(LayoutKind k) {
    switch (k) {
    case LayoutKind::EditDigits: return fw::kStyleDigitsOnly | fw::kStyleRightAlign;
    case LayoutKind::EditRight: return fw::kStyleRightAlign;
    default: return fw::kStyleNone;
    }
}

constexpr RadioGroup GroupOf(int id) {
    if ((id >= 1039 && id <= 1042) || (id >= 1177 && id <= 1182)) return RadioGroup::Com;
    if ((id >= 1043 && id <= 1045) || id == 1114) return RadioGroup::SenDiagBox;
    if (id >= 1115 && id <= 1118) return RadioGroup::TestBox;
    return RadioGroup::None;
}

// An entry for a page control: kind and first place from its layout row;
// controls in no row are hidden static texts that are never shown.
constexpr TemplateEntry PageEntry(int id, std::uint32_t extra = 0) {
    const std::size_t i = FindRowIndex(id);
    if (i == kLayoutRows)
        return TemplateEntry{id, fw::CtlKind::StaticText, "", fw::Rect{0, 0, 1, 1},
                             fw::kStyleHidden, RadioGroup::None, false};
    const LayoutRow* r = &g_Layout[i];
    return TemplateEntry{id,
                         KindOf(r->kind),
                         "",
                         fw::Rect{r->left, r->top, r->right - r->left, r->bottom - r->top},
                         StyleOf(r->kind) | fw::kStyleHidden | extra,
                         GroupOf(id),
                         false};
}

constexpr std::array<TemplateEntry, kTemplateControls> MakeTemplate() {
    std::array<TemplateEntry, kTemplateControls> t{};
    std::size_t n = 0;
    // OK is never shown: Enter must not end the console.
    t[n++] = {ids::IDOK, fw::CtlKind::PushButton, "OK", {7, 224, 50, 14}, fw::kStyleHidden,
              RadioGroup::None, true};
    t[n++] = {ids::IDCANCEL, fw::CtlKind::PushButton, "EXIT", {228, 225, 50, 14},
              fw::kStyleNone, RadioGroup::None, true};
    t[n++] = {ids::kTab, fw::CtlKind::Tab, "", {7, 9, 271, 212}, fw::kStyleNone,
              RadioGroup::None, true};
    for (int id = 1001; id <= 1182; ++id) {
        const RadioGroup g = GroupOf(id);
        // Radios are placed with the rest of their group, below.
        if (g != RadioGroup::None) continue;
        if (id == ids::kStatus) {
            t[n++] = {id, fw::CtlKind::Edit, "", {7, 224, 83, 15},
                      fw::kStyleDisabled | fw::kStyleReadOnly, RadioGroup::None, true};
            continue;
        }
        t[n++] = PageEntry(id);
        if (id == 1038) {  // after the Request edits: the Com radios, Com1..Com10
            t[n++] = PageEntry(1039, fw::kStyleGroupStart);
            for (int c = 1040; c <= 1042; ++c) t[n++] = PageEntry(c);
            for (int c = 1177; c <= 1182; ++c) t[n++] = PageEntry(c);
            t[n++] = PageEntry(1043, fw::kStyleGroupStart);  // SEN DIAG Box1..Box4
            for (int c = 1044; c <= 1045; ++c) t[n++] = PageEntry(c);
            t[n++] = PageEntry(1114);
            t[n++] = PageEntry(1115, fw::kStyleGroupStart);  // TEST Box1..Box4
            for (int c = 1116; c <= 1118; ++c) t[n++] = PageEntry(c);
        }
    }
    return t;
}

constexpr bool EveryIdOnce(const std::array<TemplateEntry, kTemplateControls>& t) {
    auto once = [&](int id) {
        int c = 0;
        for (const auto& e : t) c += e.id == id;
        return c == 1;
    };
    if (!once(ids::IDOK) || !once(ids::IDCANCEL)) return false;
    for (int id = ids::kFirst; id <= ids::kLast; ++id)
        if (!once(id)) return false;
    return true;
}

constexpr auto kTemplate = MakeTemplate();
static_assert(EveryIdOnce(kTemplate), "every control exactly once");

}  // namespace

const std::array<TemplateEntry, kTemplateControls> g_DialogTemplate = kTemplate;

const LayoutRow* FirstLayoutRow(int id) { return FindRow(id); }

std::array<fw::ControlTemplate, kTemplateControls> BuildControls(fw::Host::BaseUnits bu) {
    std::array<fw::ControlTemplate, kTemplateControls> out{};
    for (std::size_t i = 0; i < kTemplateControls; ++i) {
        const TemplateEntry& e = g_DialogTemplate[i];
        out[i] = fw::ControlTemplate{e.id, e.kind, e.caption,
                                     e.bDialogUnits ? DuToPixels(e.rect, bu) : e.rect, e.style};
    }
    return out;
}

// The dialog-data exchange map: which controls bind their text and which
// their check state to members of the console dialog.
#pragma once

#include "console/ControlIds.h"

#include <array>

// Text: both ways.  Shown: a read-only text the console alone writes (the
// receive text, up to 32000 characters); the operator cannot change it, so the
// data exchange never copies it back over the member.  Check: both ways.
enum class BindKind { Text, Shown, Check };

struct Binding {  // first id, last id (inclusive), kind
    int first;
    int last;
    BindKind kind;
};

inline constexpr std::array<Binding, 17> g_Bindings{{
    {1033, 1033, BindKind::Shown},  // receive text
    {1034, 1034, BindKind::Text},   // status line
    {1035, 1038, BindKind::Text},   // Request edits
    {1057, 1064, BindKind::Text},   // last Dispensed / Rejected
    {1039, 1045, BindKind::Check},  // Com1..Com4, SEN DIAG Box1..Box3
    {1114, 1118, BindKind::Check},  // SEN DIAG Box4, TEST Box1..Box4
    {1177, 1182, BindKind::Check},  // Com5..Com10
    {1046, 1056, BindKind::Check},  // STATUS sensor boxes
    {1066, 1075, BindKind::Check},  // STATUS sensor boxes
    {1077, 1077, BindKind::Check},  // NEND box 4
    {1166, 1166, BindKind::Check},  // CB1
    {1078, 1085, BindKind::Text},   // STATUS OPACITY / LENGTH values
    {1086, 1091, BindKind::Text},   // SET OPACITY values, SET ORDER 1..2
    {1112, 1113, BindKind::Text},   // SET ORDER 3..4
    {1119, 1146, BindKind::Text},   // SEN DIAG .. per-box sums
    {1175, 1176, BindKind::Check},  // RVD_L, RVD_R
    {1167, 1169, BindKind::Check},  // CB2..CB4
}};

static_assert([] {
    for (const auto& b : g_Bindings)
        if (b.first < ids::kFirst || b.last > ids::kLast || b.first > b.last) return false;
    return true;
}());

#include "console/DialogTemplate.h"
#include "console/LayoutTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

TEST(Layout, RowCountsPerPageAndEndRow) {
    int perPage[6] = {};
    for (std::size_t i = 0; i < kLayoutRows; ++i) {
        ASSERT_GE(g_Layout[i].page, 0);
        ASSERT_LE(g_Layout[i].page, 5);
        ++perPage[g_Layout[i].page];
        EXPECT_GE(g_Layout[i].id, 1001);
        EXPECT_LE(g_Layout[i].id, 1182);
    }
    const int want[6] = {12, 56, 50, 31, 13, 5};  // DISPENSE: with STOP
    for (int p = 0; p < 6; ++p) EXPECT_EQ(perPage[p], want[p]) << "page " << p;
    const LayoutRow& end = g_Layout[kLayoutRows];
    EXPECT_EQ(end.page, 9);
    EXPECT_EQ(end.id, 1034);
    EXPECT_STREQ(end.caption, "Recv");
    EXPECT_EQ(end.top, 260);
    EXPECT_EQ(end.left, 450);
    EXPECT_EQ(end.bottom, 410);
    EXPECT_EQ(end.right, 550);
}

TEST(Layout, SpotCheckedRows) {
    struct Want {  // row index, page, id, caption, left, top, right, bottom, operable
        std::size_t i;
        int page, id;
        const char* caption;
        int left, top, right, bottom, operable;
    };
    const Want rows[] = {
        {0, 0, 1028, "Port ", 260, 130, 340, 150, 1},
        {11, 0, 1182, "Com10", 345, 230, 425, 248, 1},
        {12, 1, 1021, "Box 1", 40, 74, 100, 90, 1},
        {27, 1, 1127, "1", 380, 195, 420, 215, 1},
        {36, 1, 1060, "", 180, 160, 215, 180, 0},
        {66, 1, 1033, "", 110, 220, 460, 358, 1},
        {67, 2, 1006, "STATUS", 120, 359, 200, 377, 1},
        {86, 2, 1031, "BOX1", 110, 40, 380, 115, 0},
        {116, 2, 1076, "BOX4", 110, 280, 380, 355, 0},
        {131, 3, 1090, "1", 150, 210, 200, 228, 1},
        {147, 3, 1122, "", 330, 320, 380, 338, 0},
        {160, 4, 1126, "0", 150, 180, 260, 198, 0},
        {163, 5, 1174, "DownProgress", 250, 100, 395, 120, 1},
        {165, 5, 1173, "Reset", 100, 150, 230, 170, 1},
    };
    for (const Want& w : rows) {
        const LayoutRow& r = g_Layout[w.i];
        SCOPED_TRACE(w.id);
        EXPECT_EQ(r.page, w.page);
        EXPECT_EQ(r.id, w.id);
        EXPECT_STREQ(r.caption, w.caption);
        EXPECT_EQ(r.left, w.left);
        EXPECT_EQ(r.top, w.top);
        EXPECT_EQ(r.right, w.right);
        EXPECT_EQ(r.bottom, w.bottom);
        EXPECT_EQ(r.operable, w.operable);
    }
}

TEST(Layout, TemplateHoldsEveryControlOnceWithThreeRadioGroups) {
    std::set<int> seen;
    int groupStarts = 0;
    for (const TemplateEntry& e : g_DialogTemplate) {
        EXPECT_TRUE(seen.insert(e.id).second) << e.id;
        if (e.kind == fw::CtlKind::Radio && (e.style & fw::kStyleGroupStart)) ++groupStarts;
    }
    EXPECT_EQ(seen.size(), 185u);
    EXPECT_EQ(groupStarts, 3);
    // Controls in no row exist and are hidden.
    for (int id : {1098, 1111, 1147, 1148, 1163, 1165}) {
        EXPECT_EQ(FirstLayoutRow(id), nullptr) << id;
    }
}

TEST(Layout, DialogUnitsConvertLikeThePlatform) {
    const fw::Host::BaseUnits bu{7, 15};
    EXPECT_EQ(DuToPixels({7, 9, 271, 212}, bu), (fw::Rect{12, 17, 474, 398}));
    EXPECT_EQ(MulDiv(287, 7, 4), 502);
    EXPECT_EQ(MulDiv(246, 15, 8), 461);
}

// The Win32 back-end: what it converts at the calls, and what the console
// reads back from its controls.
#include "console/DialogTemplate.h"
#include "framework/win32/Win32Host.h"

#include <gtest/gtest.h>

extern "C" __declspec(dllimport) HINSTANCE__* __stdcall GetModuleHandleW(const wchar_t*);

namespace {

TEST(Win32Text, Utf8AndUtf16RoundTrip) {
    const std::string about = "ZANTU Test Program 정보(&A)...";
    const std::wstring w = fw::Wide(about);
    EXPECT_EQ(w.size(), about.size() - 4);  // two Hangul syllables: 3 bytes each, 1 unit each
    EXPECT_EQ(fw::Utf8(w), about);
    EXPECT_EQ(fw::Wide(""), L"");
}

struct FilterCase {
    const char* filter;
    std::wstring want;
};

class Win32OpenFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(Win32OpenFilter, PairsEndedByTwoNuls) {
    EXPECT_EQ(fw::OpenFilter(GetParam().filter), GetParam().want);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Table, Win32OpenFilter,
    ::testing::Values(
        FilterCase{"HEX(*.hex) |*.hex|  all(*.*)|*.*||", L"HEX(*.hex) \0*.hex\0  all(*.*)\0*.*\0\0"s},
        FilterCase{"HEX|*.hex", L"HEX\0*.hex\0\0"s},  // no "||": the pairs there are
        FilterCase{"", L"All files\0*.*\0\0"s}, FilterCase{"||", L"All files\0*.*\0\0"s}));

class NoWindow final : public fw::Window {
public:
    void OnTimer(int) override {}
    std::intptr_t OnMessage(unsigned, std::uintptr_t, std::intptr_t) override { return 0; }
    void OnCommand(int) override {}
    void OnTabSelChange() override {}
    void OnCancel() override {}
    void OnAbout() override {}
};

// The console's controls as the console reads them back.
TEST(Win32Host, ControlsReadBackAsWritten) {
    fw::Win32Host host(GetModuleHandleW(nullptr));
    NoWindow wnd;
    host.SetWindow(&wnd);
    const auto bu = host.DialogBaseUnits();
    ASSERT_GT(bu.cx, 0);
    ASSERT_GT(bu.cy, 0);
    const auto controls = BuildControls(bu);
    host.CreateDialog("t", 500, 430, controls);
    if (!host.Hwnd()) GTEST_SKIP() << "no window can be made here (no display)";

    // A text's window fits its words; its rectangle is the layout's.
    const fw::Rect wide{100, 50, 100, 20};
    host.MoveControl(1025, wide);
    host.SetControlText(1025, "Request");
    EXPECT_EQ(host.GetControlRect(1025), wide);
    EXPECT_EQ(host.GetControlText(1025), "Request");

    // The receive text keeps the console's line ends.
    host.SetControlText(1033, "a\r\nb\nc");
    EXPECT_EQ(host.GetControlText(1033), "a\r\nb\nc");

    // Code may set two radios of one group, or none.
    host.SetCheck(1039, 1);
    host.SetCheck(1040, 1);
    EXPECT_EQ(host.GetCheck(1039), 1);
    EXPECT_EQ(host.GetCheck(1040), 1);
    host.SetCheck(1039, 0);
    host.SetCheck(1040, 0);
    EXPECT_EQ(host.GetCheck(1039) + host.GetCheck(1040), 0);

    host.SetProgressRange(1174, 0, 320);
    host.SetProgressPos(1174, 17);
    EXPECT_EQ(host.GetProgressPos(1174), 17);

    for (int i = 0; i < 6; ++i) host.InsertTab(1000, i, "T");
    EXPECT_EQ(host.GetCurSel(1000), 0);

    host.ShowControl(1001, false);
    EXPECT_FALSE(host.IsControlVisible(1001));
    host.ShowControl(1001, true);
    EXPECT_TRUE(host.IsControlVisible(1001));
    host.EnableControl(1034, false);
    EXPECT_FALSE(host.IsControlEnabled(1034));
}

}  // namespace

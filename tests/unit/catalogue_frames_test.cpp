// Host frames of the command catalogue, byte for byte, and the decoding of
// answers into texts and counters.
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"

#include "CaptureWriter.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Fixture : ::testing::Test {
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    CaptureWriter cap;
    void SetUp() override {
        dlg.m_pWriter = &cap;
        for (int id = 1035; id <= 1146; ++id) host.SetControlText(id, "");
    }
    Bytes Send(int type) {
        cap.writes.clear();
        dlg.m_bBusy = 0;
        dlg.SendCommand(type);
        return cap.writes.empty() ? Bytes{} : cap.writes.front();
    }
    void Answer(Bytes frame) {
        std::uint8_t x = 0;
        for (auto b : frame) x ^= b;
        frame.push_back(x);
        dlg.m_strRxFrame.assign(frame.begin(), frame.end());
        dlg.DecodeResponse();
    }
};

using CatalogueFrames = Fixture;

TEST_F(CatalogueFrames, WorkedFrames) {
    EXPECT_EQ(Send(6), (Bytes{0x04, 0x30, 0x02, 0x50, 0x03, 0x65}));
    host.SetControlText(1035, "1");
    EXPECT_EQ(Send(1), (Bytes{0x04, 0x30, 0x02, 0x52, 0x21, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x03, 0x46}));
    host.SetControlText(1090, "2");
    host.SetControlText(1091, "1");
    host.SetControlText(1112, "4");
    host.SetControlText(1113, "3");
    EXPECT_EQ(Send(10), (Bytes{0x04, 0x30, 0x02, 0x5C, 0x32, 0x31, 0x34, 0x33, 0x03, 0x6D}));
    host.SetControlText(1086, "A5");
    host.SetControlText(1087, "7F");
    host.SetControlText(1088, "");
    host.SetControlText(1089, "123");
    EXPECT_EQ(Send(8), (Bytes{0x04, 0x30, 0x02, 0x5A, 0x3A, 0x35, 0x37, 0x3F, 0x30, 0x30, 0x32, 0x33, 0x03, 0x69}));
    host.SetCheck(1116, 1);
    EXPECT_EQ(Send(13), (Bytes{0x04, 0x30, 0x02, 0x71, 0x21, 0x21, 0x03, 0x44}));
    dlg.m_Image.fill(0xFF);
    EXPECT_EQ(Send(22), (Bytes{0x04, 0x30, 0x02, 0x74, 0x36, 0x30, 0x30, 0x30, 0x03, 0x47}));
}

TEST_F(CatalogueFrames, LengthOfEveryType) {
    const int lengths[24] = {0, 13, 6, 13, 6, 13, 6, 6, 14, 6, 10, 7, 7, 8, 7, 8, 7, 6, 14, 7, 6, 266, 10, 6};
    host.SetControlText(1090, "1");
    host.SetControlText(1091, "2");
    host.SetControlText(1112, "3");
    host.SetControlText(1113, "4");
    host.SetCheck(1115, 1);
    for (int type = 1; type <= 23; ++type) {
        dlg.m_nImageAddr = 0;
        EXPECT_EQ(Send(type).size(), static_cast<std::size_t>(lengths[type])) << "type " << type;
    }
    EXPECT_TRUE(Send(0).empty());
    EXPECT_TRUE(Send(24).empty());
}

TEST_F(CatalogueFrames, RequestTexts) {
    struct Case {
        const char* text;
        std::uint8_t byte;
    };
    const Case cases[] = {{"100", 0x84}, {"101", ' '}, {"0", ' '}, {"-3", ' '}, {"", ' '}, {"ab", ' '}, {" 12x", ','}};
    for (const auto& c : cases) {
        host.SetControlText(1035, c.text);
        EXPECT_EQ(Send(1).at(4), c.byte) << c.text;
    }
}

TEST_F(CatalogueFrames, SetOrderRefusesWhatIsNoPermutation) {
    const char* bad[][4] = {{"1", "1", "2", "3"}, {"0", "1", "2", "3"}, {"1", "2", "3", "5"}};
    for (auto& v : bad) {
        host.SetControlText(1090, v[0]);
        host.SetControlText(1091, v[1]);
        host.SetControlText(1112, v[2]);
        host.SetControlText(1113, v[3]);
        host.m_boxes.clear();
        EXPECT_TRUE(Send(10).empty());
        ASSERT_EQ(host.m_boxes.size(), 1u);
        EXPECT_EQ(host.m_boxes[0].text, "Error Parameter");
        EXPECT_EQ(dlg.m_bBusy, 0);
    }
}

TEST_F(CatalogueFrames, BoxSelection) {
    EXPECT_EQ(Send(11).at(4), '1');  // none set
    host.SetCheck(1045, 1);
    host.SetCheck(1114, 1);
    EXPECT_EQ(Send(11).at(4), '3');
    EXPECT_EQ(Send(15), (Bytes{0x04, 0x30, 0x02, 0x71, 0x23, 0x03, 0x67}));
    EXPECT_EQ(Send(13), (Bytes{0x04, 0x30, 0x02, 0x71, 0x21, 0x20, 0x03, 0x45}));
}

TEST_F(CatalogueFrames, LastBlockWrite) {
    dlg.m_Image[0x9F80] = 0x12;
    dlg.m_Image[0x9F81] = 0xAB;
    dlg.m_nImageAddr = 0x9F80;
    const Bytes f = Send(21);
    ASSERT_EQ(f.size(), 266u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 12),
              (Bytes{0x04, 0x30, 0x02, 0x73, 0x39, 0x3F, 0x38, 0x30, 0x31, 0x32, 0x3A, 0x3B}));
    EXPECT_EQ(dlg.m_nImageAddr, 0xA000);
    EXPECT_TRUE(Send(21).empty());  // no block beyond the image
}

using Decoder = Fixture;

TEST_F(Decoder, StatusFlagsAndValues) {
    Answer({0x01, '0', '0', 'P', ' ', 0x21, 0x00, 0x10, 0x20, 0x3A, 0x1F, 0, 0, 0x20, 0x20, 0, 0, 0x20, 0x20, 0, 0,
            0x20, 0x20, 0x03});
    EXPECT_EQ(dlg.Check(1046), 1);
    EXPECT_EQ(dlg.Check(1051), 1);
    EXPECT_EQ(dlg.Check(1047) + dlg.Check(1048) + dlg.Check(1049) + dlg.Check(1050), 0);
    EXPECT_EQ(dlg.Check(1166), 1);
    EXPECT_EQ(dlg.Check(1052) + dlg.Check(1053) + dlg.Check(1054) + dlg.Check(1055), 0);
    EXPECT_EQ(dlg.Text(1078), "1A");
    EXPECT_EQ(dlg.Text(1079), "FFFFFFFF");
}

TEST_F(Decoder, DispenseAnswersAddUp) {
    Bytes a = {0x01, '0', '0', 'R', ' ', ' '};
    const std::uint8_t counts[12] = {0x23, 0x21, ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0x84, ' ', ' '};
    a.insert(a.end(), counts, counts + 12);
    for (int k = 0; k < 7; ++k) a.push_back(k == 0 ? 0x21 : ' ');
    a.push_back(0x03);
    Answer(a);
    Answer(a);
    EXPECT_EQ(dlg.Text(1057), "3");
    EXPECT_EQ(dlg.Text(1061), "1");
    EXPECT_EQ(dlg.Text(1060), "100");
    EXPECT_EQ(dlg.m_nDispSum[0], 6);
    EXPECT_EQ(dlg.m_nRejSum[0], 2);
    EXPECT_EQ(dlg.m_nTotalDispensed, 206);
    EXPECT_EQ(dlg.m_nReasonSum[0], 2);
    EXPECT_TRUE(host.m_boxes.empty());
}

TEST_F(Decoder, DispenseErrorEndsBatchAndStillCounts) {
    dlg.m_nRepeat = dlg.m_nRepeatLeft = 5;
    Bytes a = {0x01, '0', '0', 'R', 0x21, ' ', 0x23};
    a.push_back(0x03);
    Answer(a);
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_EQ(host.m_boxes[0].text, "PickUp Error");
    EXPECT_EQ(host.m_boxes[0].caption, "Error = 01 ");
    EXPECT_EQ(dlg.m_nRepeat, 1);
    EXPECT_EQ(dlg.m_nRepeatLeft, 1);
    EXPECT_EQ(dlg.m_nDispensed[0], 3);
}

TEST_F(Decoder, ValuesAndTexts) {
    Answer({0x01, '0', '0', '[', ' ', 0x31, 0x3A, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x03});
    EXPECT_EQ(dlg.Text(1086), "1A");
    EXPECT_EQ(dlg.Text(1087), "0");
    Answer({0x01, '0', '0', 'q', ' ', '"', '0', '4', '?', '0', 0x03});
    EXPECT_EQ(dlg.Text(1123), "1264");
    Answer({0x01, '0', '0', 'q', ' ', '0', '1', '2', '3', '4', '0', ':', '0', '?', 0x03});
    EXPECT_EQ(dlg.Text(1126), "1234   0A0F");
    Answer({0x01, '0', '0', 'T', ' ', 0x03});
    EXPECT_EQ(dlg.m_strRecv, " Undefined Command ");
}

TEST_F(Decoder, DumpLinesAccumulateWithinABoundAndKeepTheNewestWhole) {
    Bytes dump = {0x01, '0', '0', 'w'};
    for (int i = 0; i < 32; ++i) dump.push_back(static_cast<std::uint8_t>(0x20 + i % 16));
    dump.push_back(0x03);
    Answer(dump);
    const std::string line = "0 1 2 3 4 5 6 7 8 9 A B C D E F 0 1 2 3 4 5 6 7 8 9 A B C D E F \r\n";
    EXPECT_EQ(dlg.m_strRecv, line);
    // A long run of dumps: the text stays bounded, starts at a line's start,
    // and the control shows the same text.
    for (int i = 0; i < 2000; ++i) Answer(dump);
    EXPECT_LE(dlg.m_strRecv.size(), CConsoleDlg::kRecvKeep);
    EXPECT_GT(dlg.m_strRecv.size(), CConsoleDlg::kRecvKeep - line.size());
    EXPECT_EQ(dlg.m_strRecv.size() % line.size(), 0u);
    EXPECT_EQ(dlg.m_strRecv.substr(0, line.size()), line);
    EXPECT_EQ(host.GetControlText(ids::kRecv), dlg.m_strRecv);
}

TEST_F(Decoder, ReceiveTextIsWrittenToItsControlAndNeverReadBack) {
    dlg.AppendRecv("line 1\r\n");
    dlg.UpdateData(false);
    EXPECT_EQ(host.GetControlText(ids::kRecv), "line 1\r\n");
    // The control is read-only to the operator; whatever it holds, the data
    // exchange does not copy it over what the console wrote.
    host.SetControlText(ids::kRecv, "");
    dlg.UpdateData(true);
    EXPECT_EQ(dlg.m_strRecv, "line 1\r\n");
    dlg.UpdateData(false);
    EXPECT_EQ(host.GetControlText(ids::kRecv), "line 1\r\n");
}

TEST_F(Decoder, TrimmingNeverRemovesTheTextJustAppended) {
    // Error captions carry no line break: a long run of them leaves nothing to
    // cut at but the bound itself.
    const std::string caption = "Error = 01 ";
    for (std::size_t n = 0; n < CConsoleDlg::kRecvKeep + 5000; n += caption.size()) dlg.AppendRecv(caption);
    EXPECT_LE(dlg.m_strRecv.size(), CConsoleDlg::kRecvKeep + caption.size());
    const std::string line = "1 2 3 \r\n";
    dlg.AppendRecv(line);
    ASSERT_GE(dlg.m_strRecv.size(), line.size());
    EXPECT_EQ(dlg.m_strRecv.substr(dlg.m_strRecv.size() - line.size()), line);
    EXPECT_EQ(dlg.m_strRecv.size(), CConsoleDlg::kRecvKeep);
    // The older captions before it stay, as many as the bound leaves room for.
    EXPECT_EQ(dlg.m_strRecv.substr(dlg.m_strRecv.size() - line.size() - caption.size(), caption.size()), caption);
    // A text longer than the bound on its own is kept whole.
    const std::string huge(CConsoleDlg::kRecvKeep + 10, 'x');
    dlg.AppendRecv(huge);
    EXPECT_EQ(dlg.m_strRecv, huge);
}

TEST_F(Decoder, DeviceErrorTexts) {
    struct Case {
        std::uint8_t byte;
        const char* text;
        const char* caption;
    };
    const Case cases[] = {{0x40, "Sensor On", "Error = 20 "},    {0x4C, "Cash-Cassette2 Not Exist", "Error = 2c "},
                          {0x50, "Unknown Error", "Error = 30 "}, {0x54, "Verify Error", "Error = 34 "},
                          {0x2F, "Sensor On", "Error = 0f "},     {0x4D, "Unknown Error", "Error = 2d "},
                          {0x55, "???", "Error = 35 "},           {0x10, "???", "Error = f0 "}};
    for (const auto& c : cases) {
        host.m_boxes.clear();
        Answer({0x01, '0', '0', 'X', c.byte, 0x03});
        ASSERT_EQ(host.m_boxes.size(), 1u);
        EXPECT_EQ(host.m_boxes[0].text, c.text);
        EXPECT_EQ(host.m_boxes[0].caption, c.caption);
    }
}

TEST_F(Decoder, ShortFramesLeaveMissingFieldsAlone) {
    const std::uint8_t codes[] = {'P', 'Q', 'R', 'S', 'p', 'U', 'X', '[', '_', ']', 'q', 'w', 'Z', 'D'};
    for (std::uint8_t code : codes) {
        for (std::size_t len = 4; len < 10; ++len) {
            Bytes f = {0x01, '0', '0', code};
            while (f.size() < len) f.push_back('0');
            f.push_back(0x03);
            host.SetControlText(1086, "keep");
            Answer(f);
            if (code == '[') {
                EXPECT_EQ(dlg.Text(1086), len >= 7 ? "0" : "keep");
            }
        }
    }
}

}  // namespace

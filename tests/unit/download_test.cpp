// The HEX loader's reading rules and the 320-block download on the virtual clock.
#include "TempTree.h"
#include "console/ConsoleDlg.h"
#include "firmware/HexLoader.h"
#include "firmware/ImageIdentity.h"
#include "framework/HeadlessHost.h"

#include "CaptureWriter.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

HexLoadResult Load(const std::string& text, std::array<std::uint8_t, kImageSize>& img) {
    img.fill(0xFF);
    return LoadHex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), img);
}

TEST(HexLoader, DigitValues) {
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue(':'), 3);
    EXPECT_EQ(HexDigitValue('G'), 0xF0);
    EXPECT_EQ(HexDigitValue('g'), 16);
    EXPECT_EQ(HexDigitValue(' '), 0xC9);
}

TEST(HexLoader, Records) {
    struct Case {
        const char* name;
        std::string text;
        HexLoadStatus status;
        std::vector<std::pair<unsigned, std::uint8_t>> bytes;
    };
    const Case cases[] = {
        {"upper", ":0200100012AB31\n:00000001FF\n", HexLoadStatus::Ok, {{0x10, 0x12}, {0x11, 0xAB}, {0x12, 0xFF}}},
        {"lower", ":0200100012ab31\n:00000001ff\n", HexLoadStatus::Ok, {{0x10, 0x12}, {0x11, 0xAB}}},
        {"after end", ":00000001FF\n:0100000055AA\n", HexLoadStatus::Ok, {{0x00, 0xFF}}},
        {"type 04 with a zero base is skipped", ":020000040000FA\n:010001007787\n:00000001FF\n",
         HexLoadStatus::Ok, {{0x00, 0xFF}, {0x01, 0x77}}},
        {"count 0 ends", ":0100000011EE\n:0000000000\n:0100010022DC\n", HexLoadStatus::Ok, {{0x00, 0x11}, {0x01, 0xFF}}},
        {"blank lines and line ends of any kind", "\r\n\r\n:0100000033CC\r:010001007787 \n\n\t:00000001FF",
         HexLoadStatus::Ok, {{0x00, 0x33}, {0x01, 0x77}}},
        {"type 02 with a zero base is skipped", ":020000020000FC\n:010000007788\n:00000001FF\n",
         HexLoadStatus::Ok, {{0x00, 0x77}, {0x01, 0xFF}}},
        {"start records are no image data", ":010000007788\n:0400000300001234B3\n:0400000500000100F6\n:00000001FF\n",
         HexLoadStatus::Ok, {{0x00, 0x77}, {0x01, 0xFF}, {0x02, 0xFF}, {0x03, 0xFF}}},
        {"type 04 with a non-zero base", ":010000007788\n:020000040001F9\n:00000001FF\n",
         HexLoadStatus::ExtendedAddress, {}},
        {"type 02 with a non-zero base", ":020000021000EC\n:00000001FF\n", HexLoadStatus::ExtendedAddress, {}},
        {"outside image", ":029FFF0011222D\n:00000001FF\n", HexLoadStatus::OutsideImage, {}},
        {"no end record", ":0100000011EE\n", HexLoadStatus::Truncated, {}},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, kImageSize> img;
        const auto r = Load(c.text, img);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.badRecords, 0) << c.name;
        for (auto [a, b] : c.bytes) EXPECT_EQ(img[a], b) << c.name << " at " << a;
    }
    std::array<std::uint8_t, kImageSize> img;
    const auto r = Load(":0100000011EE\n:029FFF0011222D\n", img);
    EXPECT_EQ(r.line, 2);
    EXPECT_EQ(r.address, 0xA000u);
    EXPECT_EQ(Load("\n\n:020000040001F9\n", img).line, 3);
    const auto counted = Load(":0200100012AB31\r\n:1000000000112233445566778899AABBCCDDEEFFF8\r\n:00000001FF\r\n", img);
    EXPECT_EQ(counted.records, 2);
    EXPECT_EQ(counted.dataBytes, 18);
}

// A bad record refuses the whole file, naming its line and what is wrong.  Only
// a file whose faults are all wrong checksums can be taken anyway, and then it
// loads as read.
TEST(HexLoader, BadRecordsRefuseTheFile) {
    struct Case {
        const char* name;
        std::string text;
        std::string message;      // HexLoadMessage for "f.hex"
        bool onlyChecksums;
        int badRecords;
    };
    const std::string good16 = ":1000000000112233445566778899AABBCCDDEEFFF8\n";
    const Case cases[] = {
        {"a data digit flipped (E to F)", ":0100000042BD\r\n\r\n:1000100000112233445566778899AABBCCDDEFFFE8\r\n:00000001FF\r\n",
         "f.hex: line 3: checksum E8, record sums to E7. Nothing was sent.", true, 1},
        {"a data digit replaced by Z", ":10000000001122Z3445566778899AABBCCDDEEFFF8\n:00000001FF\n",
         "f.hex: line 1: 'Z' in column 16 is no hexadecimal digit. Nothing was sent.", false, 1},
        {"a cut line", ":10000000001122334455\n:00000001FF\n",
         "f.hex: line 1: the count calls for 42 digits after ':', the line holds 20 (a cut line?). Nothing was sent.",
         false, 1},
        {"a count that claims less", ":0100000042BD00\n:00000001FF\n",
         "f.hex: line 1: the count calls for 12 digits after ':', the line holds 14 (a cut line?). Nothing was sent.",
         false, 1},
        {"two records run together", ":0100000042BD:00000001FF\n",
         "f.hex: line 1: ':' in column 14 is no hexadecimal digit; 1 more bad record. Nothing was sent.", false, 2},
        {"a record that lost its colon", good16 + "0100000042BD\n:00000001FF\n",
         "f.hex: line 2: text that is no record (a record begins with ':'). Nothing was sent.", false, 1},
        {"a line longer than any record", ":" + std::string(700, '0') + "\n:00000001FF\n",
         "f.hex: line 1: longer than any record. Nothing was sent.", false, 1},
        {"three wrong checksums, the end record's among them", ":0100000042BE\n:0100010042BC\n:0100020042BD\n:00000001FE\n",
         "f.hex: line 1: checksum BE, record sums to BD; 2 more bad records (checksums only). Nothing was sent.", true,
         3},
        {"a wrong checksum and no end record", ":0100000042BE\n",
         "f.hex: line 1: checksum BE, record sums to BD; 1 more bad record. Nothing was sent.", false, 2},
    };
    for (const Case& c : cases) {
        std::array<std::uint8_t, kImageSize> img;
        const HexLoadResult r = Load(c.text, img);
        EXPECT_EQ(r.status, HexLoadStatus::BadRecords) << c.name;
        EXPECT_EQ(HexLoadMessage("f.hex", r), c.message) << c.name;
        EXPECT_EQ(r.OnlyChecksums(), c.onlyChecksums) << c.name;
        EXPECT_EQ(r.badRecords, c.badRecords) << c.name;
        // Ignoring checksums takes only a file whose faults are all checksums,
        // with its records as read; the findings stay for the caller to tell.
        img.fill(0xFF);
        const auto* p = reinterpret_cast<const std::uint8_t*>(c.text.data());
        const HexLoadResult taken = LoadHex(std::span(p, c.text.size()), img, {.ignoreChecksums = true});
        EXPECT_EQ(taken.status, c.onlyChecksums ? HexLoadStatus::Ok : HexLoadStatus::BadRecords) << c.name;
        EXPECT_EQ(taken.badRecords, c.badRecords) << c.name;
        if (c.onlyChecksums) {
            EXPECT_EQ(img[0], 0x42) << c.name;
        }
    }
}

// What the operator may pick with the "all" filter: only a regular file of
// reasonable size is read, and a file is read no further than its end record.
TEST(HexLoader, FilesAreReadWithABound) {
    TempTree tree;
    const std::string dir = tree.Root();
    const std::string fifo = dir + "/pipe.hex";
    // No writer: a blocking read would wait for good.  Windows has no FIFOs,
    // /dev or /proc; there the file I/O suite covers folders and bytes.
    if (!testplat::MakeFifo(fifo)) GTEST_SKIP() << "no FIFOs here";
    const std::string big = dir + "/big.hex";
    {
        std::FILE* f = std::fopen(big.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(":00000001FF\n", f);
        std::fclose(f);
        std::filesystem::resize_file(big, kMaxHexFileBytes + 1);
    }
    const std::string endThenJunk = dir + "/end.hex";
    {
        std::FILE* f = std::fopen(endThenJunk.c_str(), "wb");
        std::fputs(":0100000042BD\n:00000001FF\n", f);
        for (int i = 0; i < 1000; ++i) std::fputs("junk after the end record\n", f);
        std::fclose(f);
    }
    struct Case {
        std::string path;
        HexLoadStatus status;
        std::string message;
    };
    const Case cases[] = {
        {fifo, HexLoadStatus::NotRegularFile, fifo + " is a FIFO, not a HEX file. Nothing was sent."},
        {dir, HexLoadStatus::NotRegularFile, dir + " is a directory, not a HEX file. Nothing was sent."},
        {"/dev/zero", HexLoadStatus::NotRegularFile,
         "/dev/zero is a character device, not a HEX file. Nothing was sent."},
        {big, HexLoadStatus::TooLarge,
         big + " is larger than 4 MiB, too large for a HEX file of a 40960-byte image. Nothing was sent."},
        {"/proc/self/mem", HexLoadStatus::FileError, "Cannot read /proc/self/mem: Input/output error. Nothing was sent."},
        {dir + "/missing.hex", HexLoadStatus::FileError,
         "Cannot read " + dir + "/missing.hex: No such file or directory. Nothing was sent."},
        {endThenJunk, HexLoadStatus::Ok, ""},
    };
    for (const Case& c : cases) {
        std::array<std::uint8_t, kImageSize> img;
        img.fill(0xFF);
        const HexLoadResult r = LoadHexFile(c.path, img);
        EXPECT_EQ(r.status, c.status) << c.path;
        EXPECT_EQ(HexLoadMessage(c.path, r), c.message);
        if (c.status == HexLoadStatus::Ok) {
            EXPECT_EQ(img[0], 0x42);
        }
    }
}

struct DownloadFixture : ::testing::Test {
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    CaptureWriter cap;
    TempTree tree;  // the test's files
    std::string file;
    void SetUp() override {
        dlg.Create();
        dlg.m_pWriter = &cap;
        dlg.m_bLinked = 1;
        host.SelectTab(ids::kTab, 5);
        file = tree.Path("image.hex");
        std::FILE* f = std::fopen(file.c_str(), "wb");
        std::fputs(":0400000001020304F2\n:00000001FF\n", f);
        std::fclose(f);
        host.m_answerFile = [this](std::string_view) { return std::optional<std::string>(file); };
    }
    void Module(std::uint8_t code, std::uint8_t err = ' ') {
        Bytes f = {0x06, 0x01, '0', '0', code, err, 0x03};
        std::uint8_t x = 0;
        for (std::size_t i = 1; i < f.size(); ++i) x ^= f[i];
        f.push_back(x);
        dlg.ReceiveBytes(f.data(), f.size());
        host.Pump();
    }
};

TEST_F(DownloadFixture, FullDownloadSendsEveryBlockOnce) {
    host.Click(ids::kWriteProg);
    EXPECT_EQ(dlg.m_nBlocksDone, 1);
    for (int k = 0; k < kBlockCount; ++k) {
        ASSERT_EQ(cap.writes.size(), static_cast<std::size_t>(k + 1));
        const Bytes& w = cap.writes.back();
        ASSERT_EQ(w.size(), 266u);
        unsigned addr = 0;
        for (int i = 4; i < 8; ++i) addr = addr * 16 + (w[i] & 0x0F);
        EXPECT_EQ(addr, static_cast<unsigned>(k * kBlockSize));
        Module('s');
        cap.writes.erase(std::remove_if(cap.writes.begin(), cap.writes.end(),
                                        [](const Bytes& b) { return b.size() == 1; }),
                         cap.writes.end());
        if (k < kBlockCount - 1) {
            EXPECT_EQ(dlg.m_nBlocksDone, k + 2);
        }
    }
    EXPECT_EQ(dlg.m_nBlocksDone, kBlockCount);
    EXPECT_EQ(host.GetProgressPos(ids::kProgress), kBlockCount);
    EXPECT_EQ(dlg.m_nImageAddr, 0xA000);
    EXPECT_FALSE(host.IsTimerRunning(kTimerProgress));
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_EQ(host.m_boxes[0].text, "Downloading Done!");
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_Image[3], 0x04);
}

TEST_F(DownloadFixture, ErrorOnTheHundredFiftiethBlockStops) {
    host.Click(ids::kWriteProg);
    for (int k = 0; k < 149; ++k) Module('s');
    Module('s', 0x53);
    host.Advance(1000);
    EXPECT_EQ(dlg.m_bDownloading, 0);
    EXPECT_EQ(host.GetProgressPos(ids::kProgress), 150);
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerProgress));
    ASSERT_FALSE(host.m_boxes.empty());
    EXPECT_EQ(host.m_boxes.back().text, "Program Writing Error");
    const auto before = cap.writes.size();
    Module('s');  // late answer: no restart
    EXPECT_EQ(cap.writes.size(), before + 1);  // only the console's ACK
}

TEST_F(DownloadFixture, ALostBlockAnswerEndsWithTheResponseTimeout) {
    host.Click(ids::kWriteProg);
    const std::uint8_t ack = 0x06;
    dlg.ReceiveBytes(&ack, 1);
    host.Advance(120000);
    EXPECT_EQ(dlg.m_strStatus, "!!! Error Response Timeout");
    EXPECT_EQ(dlg.m_bDownloading, 0);
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_FALSE(host.IsTimerRunning(kTimerProgress));
}

TEST_F(DownloadFixture, NoAckMidDownloadStopsIt) {
    host.Click(ids::kWriteProg);
    for (int k = 0; k < 10; ++k) Module('s');
    host.Advance(4000);
    EXPECT_EQ(dlg.m_strStatus, "!!! Error ACK Timeout");
    EXPECT_EQ(dlg.m_bDownloading, 0);
}

TEST_F(DownloadFixture, CancelledDialogAndBusyButtons) {
    host.m_answerFile = nullptr;
    host.Click(ids::kWriteProg);
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_EQ(host.m_boxes[0].text, "File Not Open!");
    EXPECT_EQ(host.m_boxes[0].icon, fw::MsgIcon::Stop);
    EXPECT_TRUE(cap.writes.empty());
    dlg.m_bBusy = 1;
    dlg.m_nImageAddr = 0x80;
    dlg.OnWriteProg();
    dlg.OnVerify();
    dlg.OnGoLoader();
    dlg.OnReset();
    EXPECT_TRUE(cap.writes.empty());
    EXPECT_EQ(dlg.m_nImageAddr, 0x80);
}

TEST_F(DownloadFixture, RefusedFileKeepsTheImageOfTheLastLoad) {
    host.Click(ids::kWriteProg);  // loads 01 02 03 04 at 0 and starts
    host.Advance(4000);           // no ACK: the download stops
    ASSERT_EQ(dlg.m_bDownloading, 0);
    const auto image = dlg.m_Image;
    ASSERT_EQ(image[0], 0x01);
    const std::string badChar = tree.Path("badchar.hex");
    {
        std::FILE* f = std::fopen(badChar.c_str(), "wb");
        std::fputs(":04000000010Z0304F2\n:00000001FF\n", f);  // refused outright: no question
        std::fclose(f);
    }
    const std::string bad[] = {"/proc/self/mem", "/dev/zero", tree.Path("none.hex"), badChar};
    for (const std::string& path : bad) {
        host.m_answerFile = [&](std::string_view) { return std::optional<std::string>(path); };
        cap.writes.clear();
        host.m_boxes.clear();
        host.Click(ids::kWriteProg);
        EXPECT_TRUE(cap.writes.empty()) << path;
        EXPECT_EQ(dlg.m_Image, image) << path;
        EXPECT_EQ(dlg.m_bDownloading, 0);
        ASSERT_EQ(host.m_boxes.size(), 1u);
        EXPECT_NE(host.m_boxes[0].text.find(path), std::string::npos) << host.m_boxes[0].text;
        EXPECT_EQ(host.m_boxes[0].icon, fw::MsgIcon::Stop);
        // The bar shows this attempt, not the download before it.
        EXPECT_EQ(host.GetProgressPos(ids::kProgress), 0) << path;
    }
}

// A first block refused with "Program Writing Error" while the loader was
// not started says so in the receive text; after Go Loader it is the module's
// error alone.
TEST_F(DownloadFixture, AFirstBlockRefusedWithoutTheLoaderSaysGoLoaderFirst) {
    const std::string hint = "Write Prog: the module's loader was not started (press Go Loader first).";
    for (bool goLoader : {false, true}) {
        dlg.m_strRecv.clear();
        if (goLoader) {
            host.Click(ids::kGoLoader);
            Module('r');
        }
        host.Click(ids::kWriteProg);
        Module('s', 0x33 + 0x20);
        ASSERT_EQ(dlg.m_bDownloading, 0) << goLoader;
        EXPECT_EQ(dlg.m_strRecv.find("Error = 33 \r\n" + hint) != std::string::npos, !goLoader) << dlg.m_strRecv;
        EXPECT_EQ(host.m_boxes.back().caption, "Error = 33 ") << goLoader;
    }
}

// A file whose only fault is a wrong checksum: the window asks, No the
// default; on Yes the choice and then the image's identity are told and
// written before the first block goes out.
TEST_F(DownloadFixture, BadChecksumIsAskedAboutAndTheIdentityPrecedesTheFirstBlock) {
    struct Notices : ev::ConsoleObserver {
        const CaptureWriter* cap = nullptr;
        std::vector<std::string> seen;  // kind, text or identity, writes so far
        void Noticed(const ev::Notice& n) override {
            std::string line = std::to_string(static_cast<int>(n.kind)) + " " + std::string(n.text);
            if (n.image) line += image::IdentityLine(*n.image);
            seen.push_back(line + " @" + std::to_string(cap->writes.size()));
        }
    } notices;
    notices.cap = &cap;
    dlg.Subscribe(&notices);
    {
        std::FILE* f = std::fopen(file.c_str(), "wb");
        std::fputs(":0400000001020304F3\n:00000001FF\n", f);
        std::fclose(f);
    }
    const std::string finding = file + ": line 1: checksum F3, record sums to F2";

    host.Click(ids::kWriteProg);  // the box is answered No, as by default
    ASSERT_EQ(host.m_boxes.size(), 1u);
    EXPECT_TRUE(host.m_boxes[0].yesNo);
    EXPECT_EQ(host.m_boxes[0].text, finding + "\n\nDownload it anyway?");
    EXPECT_TRUE(cap.writes.empty());
    EXPECT_EQ(dlg.m_bDownloading, 0);
    EXPECT_EQ(dlg.m_Image[0], 0xFF);  // the image of the last load stays
    EXPECT_TRUE(notices.seen.empty());

    host.m_answerBox = [](const fw::MessageBoxRecord& r) { return r.yesNo ? fw::kIdYes : fw::kIdOk; };
    host.Click(ids::kWriteProg);
    const std::string identity = "image " + file + ": 1 record, 4 bytes, sum 0x5C0E, CRC-32 0xF09965B5";
    EXPECT_EQ(notices.seen, (std::vector<std::string>{
                                std::to_string(static_cast<int>(ev::NoticeKind::BadRecordsTaken)) + " " + finding + " @0",
                                std::to_string(static_cast<int>(ev::NoticeKind::ImageLoaded)) + " " + identity + " @0"}));
    EXPECT_NE(dlg.m_strRecv.find("Bad records taken by choice: " + finding + "\r\n" + identity + "\r\n"),
              std::string::npos)
        << dlg.m_strRecv;
    ASSERT_EQ(cap.writes.size(), 1u);
    EXPECT_EQ(cap.writes[0].size(), 266u);  // the first block
    EXPECT_EQ(dlg.m_Image[3], 0x04);
    dlg.Unsubscribe(&notices);
}

TEST_F(DownloadFixture, VerifyGoLoaderReset) {
    dlg.OnVerify();  // before any load: the erased image, sum 0x6000
    ASSERT_EQ(cap.writes.size(), 1u);
    EXPECT_EQ(cap.writes[0], (Bytes{0x04, 0x30, 0x02, 0x74, 0x36, 0x30, 0x30, 0x30, 0x03, 0x47}));
    Module('t');
    EXPECT_EQ(host.m_boxes.back().text, "Verify O.K.!");
    dlg.OnGoLoader();
    EXPECT_EQ(dlg.m_bBusy, 0);
    Module('r', 0x21);
    EXPECT_EQ(host.m_boxes.back().text, "Go Loader O.K.!");
    dlg.OnReset();
    EXPECT_EQ(dlg.m_bBusy, 0);
    const auto n = host.m_boxes.size();
    Module('D');
    EXPECT_EQ(host.m_boxes.size(), n);
}

}  // namespace

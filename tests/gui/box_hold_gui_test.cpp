// The window with a message box held open for 10 s in each of the console's
// waits (a batch's Wait, an ACK wait, a response wait, a download between two
// blocks), on a pseudo-terminal whose far end the test plays: nothing leaves
// while the box is open, the module's bytes that came meanwhile are handled
// after it, and the batch or the download goes on with exact counts.  The
// box stays open for 10 s of real time while the window's timers run.
#include "ScriptedModule.h"
#include "console/ConsoleDlg.h"
#include "framework/qt/QtHost.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

namespace {

using Bytes = ScriptedModule::Bytes;
constexpr int kBoxMs = 10000;
constexpr int kPatienceMs = 60000;

// Host frames the console wrote while one of its boxes was open.
struct BoxWatch final : ev::ConsoleObserver {
    bool open = false;
    int framesInBoxes = 0;
    void BoxOpen(bool o) override { open = o; }
    void Written(const std::uint8_t*, std::size_t, const ev::TxNote& note) override {
        const bool frame = note.kind == ev::TxKind::FirstSend || note.kind == ev::TxKind::Resend ||
                           note.kind == ev::TxKind::RepeatSend;
        if (frame && open) ++framesInBoxes;
    }
};

struct QtBoxHold : ::testing::Test {
    ScriptedModule module;
    fw::QtHost host;
    CConsoleDlg dlg{host};
    BoxWatch watch;
    QTimer boxes;  // answers the window's boxes as they open
    int holdNext = 0;            // boxes still to hold open for kBoxMs
    std::function<void()> during;  // runs as a held box opens
    std::vector<std::string> boxTexts;
    std::string hexPath;
    bool inBox = false;

    void SetUp() override {
        if (module.Path().empty()) GTEST_SKIP() << "no pseudo-terminal";
        dlg.Create();
        PortMap map;
        map.Set(1, module.Path());
        dlg.m_Comm.SetPortMap(map);
        dlg.OnOpen();
        ASSERT_EQ(dlg.m_strStatus, "COM1 connect");
        ASSERT_TRUE(dlg.Subscribe(&watch));
        boxes.setInterval(20);
        QObject::connect(&boxes, &QTimer::timeout, [this] { Answer(); });
        boxes.start();
    }
    void TearDown() override {
        boxes.stop();
        dlg.Unsubscribe(&watch);
        dlg.m_Comm.Close();
    }
    void Answer() {
        if (inBox) return;
        QWidget* w = QApplication::activeModalWidget();
        if (auto* fd = qobject_cast<QFileDialog*>(w)) {
            // Typed into the name field, as a user does: selectFile leaves
            // the field alone once it has the focus, which it may have got
            // before this timer first runs on a loaded machine.
            if (auto* name = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(QString::fromStdString(hexPath));
            else
                fd->selectFile(QString::fromStdString(hexPath));
            static_cast<QDialog*>(fd)->accept();
            return;
        }
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box) return;
        inBox = true;
        boxTexts.push_back(box->text().toStdString());
        if (holdNext > 0) {
            --holdNext;
            if (during) during();
            during = nullptr;
            Spin([] { return false; }, kBoxMs);
        }
        box->accept();
        inBox = false;
    }
    // Runs the window's loop and serves the module until pred holds.
    bool Spin(const std::function<bool()>& pred, int ms) {
        QElapsedTimer t;
        t.start();
        while (!pred()) {
            if (t.elapsed() > ms) return false;
            module.Service(2);
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return true;
    }
    void PressDispense(const char* repeat) {
        host.SelectTabForTest(1);
        for (int id : {1035, 1036, 1037, 1038}) host.SetControlText(id, id == 1035 ? "5" : "0");
        host.SetControlText(ids::kRepeat, repeat);
        host.SetControlText(ids::kWait, "1");
        dlg.OnCommand(1001);
    }
    void ExpectBatch(std::size_t framesSent, int requested) {
        ASSERT_TRUE(Spin([&] { return !dlg.m_bBusy; }, kPatienceMs));
        EXPECT_EQ(watch.framesInBoxes, 0);
        EXPECT_EQ(module.Count('R'), framesSent);
        EXPECT_EQ(host.GetControlText(1129), std::to_string(requested));
        EXPECT_EQ(host.GetControlText(1130), std::to_string(requested));
        EXPECT_EQ(host.GetControlText(1131), "0");
        EXPECT_EQ(dlg.m_strStatus, "COM1 connect");
    }
    static Bytes WithStatusError(Bytes out) {
        const Bytes e = ScriptedModule::UnaskedStatusError();
        out.insert(out.end(), e.begin(), e.end());
        return out;
    }
};

TEST_F(QtBoxHold, InABatchsWaitTheNextRunWaitsForTheBox) {
    module.reply = [](const Bytes& f, std::size_t n) {
        return n == 0 ? WithStatusError(ScriptedModule::Standard(f)) : ScriptedModule::Standard(f);
    };
    holdNext = 1;
    during = [this] { module.Send(ScriptedModule::Response('w', '0', Bytes(31, '0'))); };
    PressDispense("3");
    ExpectBatch(3, 15);
    EXPECT_EQ(boxTexts.size(), 1u);
    EXPECT_EQ(dlg.m_nFramesAccepted, 5);  // three answers, the STATUS frame and the dump
}

TEST_F(QtBoxHold, InAnAckWaitTheResendWaitsForTheBox) {
    module.reply = [](const Bytes& f, std::size_t n) { return n == 1 ? Bytes{} : ScriptedModule::Standard(f); };
    PressDispense("2");
    ASSERT_TRUE(Spin([&] { return module.Count('R') == 2; }, kPatienceMs));
    holdNext = 1;
    dlg.OnAbout();  // while run 2's ACK is awaited
    EXPECT_EQ(module.Count('R'), 2u);
    ExpectBatch(3, 10);
}

TEST_F(QtBoxHold, InAResponseWaitTheAnswerThatCameCountsAfterTheBox) {
    Bytes first;
    module.reply = [&](const Bytes& f, std::size_t n) {
        if (n != 0) return ScriptedModule::Standard(f);
        first = f;
        return WithStatusError(Bytes{proto::ACK});
    };
    holdNext = 1;
    during = [&] { module.Send(ScriptedModule::Answer(first)); };
    PressDispense("2");
    ExpectBatch(2, 10);
}

TEST_F(QtBoxHold, BetweenTwoBlocksTheDownloadWaitsForTheBox) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString hex = dir.filePath(QStringLiteral("erased.hex"));
    {
        QFile f(hex);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(":00000001FF\n");
    }
    hexPath = hex.toStdString();
    const QString cwd = QDir::currentPath();
    module.reply = [](const Bytes& f, std::size_t n) {
        return n == 9 ? WithStatusError(ScriptedModule::Standard(f)) : ScriptedModule::Standard(f);
    };
    holdNext = 1;
    host.SelectTabForTest(5);
    dlg.OnCommand(ids::kWriteProg);
    EXPECT_TRUE(Spin([&] { return !dlg.m_bDownloading && !dlg.m_bBusy; }, kPatienceMs));
    QDir::setCurrent(cwd);  // Write Prog made the file's folder current
    EXPECT_EQ(watch.framesInBoxes, 0);
    EXPECT_EQ(module.Count('s'), static_cast<std::size_t>(kBlockCount));
    EXPECT_EQ(module.Count('t'), 0u);
    EXPECT_EQ(boxTexts, (std::vector<std::string>{"PickUp Error", "Downloading Done!"}));
    EXPECT_EQ(host.GetProgressPos(ids::kProgress), kBlockCount);
    EXPECT_EQ(dlg.m_strStatus, "COM1 connect");
}

}  // namespace

// The frame tool, offscreen, on a console whose line the test plays: a
// command of the catalogue with its values makes the frame shown (a bad value
// said in words, no Send), Send presses it through the console's link (busy
// refused with its reason), the answer shows in hex beside its decoded
// fields, and the history sends again and saves.
#include "console/ConsoleDlg.h"
#include "console/HandFrameLink.h"
#include "framework/qt/FrameToolWindow.h"
#include "framework/qt/QtHost.h"
#include "link/LinkFrame.h"

#include "CaptureWriter.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

QString Hex(const Bytes& b) {
    QStringList s;
    for (std::uint8_t x : b) s << QStringLiteral("%1").arg(x, 2, 16, QLatin1Char('0')).toUpper();
    return s.join(QLatin1Char(' '));
}

struct FrameTool : ::testing::Test {
    fw::QtHost host;
    CaptureWriter out;
    CConsoleDlg dlg{host};
    DialogHandLink link{dlg};
    void SetUp() override {
        dlg.Create();
        dlg.m_pWriter = &out;
        dlg.m_bLinked = 1;  // as after OPEN, without a port
        host.SetHandFrameLink(&link);
        host.DialogWindow()->show();
        host.DialogWindow()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(host.DialogWindow()));
    }
    void TearDown() override { host.SetHandFrameLink(nullptr); }
    void Module(const Bytes& b) { dlg.ReceiveBytes(b.data(), b.size()); }
};

TEST_F(FrameTool, BuildsACatalogueFrameShowsItsBytesSendsItAndShowsTheDecodedAnswer) {
    QTest::keyClick(host.DialogWindow(), Qt::Key_F, Qt::ControlModifier);
    fw::FrameToolWindow* tool = host.FrameToolWnd();
    ASSERT_NE(tool, nullptr);
    EXPECT_TRUE(tool->isVisible());

    // SEN DIAG of box 2: head, 'X', the box digit, ETX, BCC.
    tool->SelectCommand(11);
    EXPECT_EQ(tool->CommandBox()->currentText(), QStringLiteral("SEN DIAG"));
    tool->ValueEdit(0)->setText(QStringLiteral("5"));
    EXPECT_FALSE(tool->SendButton()->isEnabled());
    EXPECT_EQ(tool->Problem()->text(), QStringLiteral("box: '5' is not a box 1 to 4"));
    EXPECT_TRUE(tool->FrameView()->text().isEmpty());
    tool->ValueEdit(0)->setText(QStringLiteral("2"));
    Bytes frame{proto::EOT, '0', proto::STX, 'X', '2', proto::ETX};
    frame.push_back(proto::Xor(frame.data(), frame.size()));
    EXPECT_EQ(tool->FrameView()->text(), Hex(frame));
    EXPECT_EQ(tool->BodyEdit()->text(), QStringLiteral("58 32"));

    tool->SendButton()->click();
    ASSERT_EQ(out.writes.size(), 1u);
    EXPECT_EQ(out.writes[0], frame);
    ASSERT_EQ(tool->History()->count(), 1);
    // Busy until its answer: refused with the reason, nothing written.
    tool->SendButton()->click();
    EXPECT_EQ(out.writes.size(), 1u);
    EXPECT_TRUE(tool->Status()->text().startsWith(QStringLiteral("Not sent: busy"))) << tool->Status()->text().toStdString();

    Module({proto::ACK});
    Bytes answer{proto::SOH, '0', '0', 'X', ' ', 0x3A, 0x25, 0x20, 0x23, proto::ETX};
    answer.push_back(proto::Xor(answer.data(), answer.size()));
    Module(answer);
    EXPECT_EQ(tool->AnswerBytes()->text(), Hex(answer));
    EXPECT_EQ(tool->AnswerFields()->text(), QStringLiteral("X: opac 1A leng 5 div 0 rej 3"));
    EXPECT_EQ(tool->Status()->text(), QStringLiteral("Answered"));

    // A body typed in hex: GET OPACITY.
    tool->SelectCommand(0);
    tool->BodyEdit()->setText(QStringLiteral("5B"));
    Bytes getOpacity{proto::EOT, '0', proto::STX, '[', proto::ETX};
    getOpacity.push_back(proto::Xor(getOpacity.data(), getOpacity.size()));
    EXPECT_EQ(tool->FrameView()->text(), Hex(getOpacity));
    tool->BodyEdit()->setText(QStringLiteral("5B 0"));
    EXPECT_FALSE(tool->SendButton()->isEnabled());
    EXPECT_FALSE(tool->Problem()->text().isEmpty());

    // The history: sent again as it was (after the answer's ACK), and saved.
    EXPECT_TRUE(tool->SendAgain(0));
    ASSERT_EQ(out.writes.size(), 3u);
    EXPECT_EQ(out.writes[2], frame);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("frames.txt"));
    QString error;
    ASSERT_TRUE(tool->SaveHistoryTo(path, &error)) << error.toStdString();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    for (const QString& l : lines) EXPECT_TRUE(l.contains(Hex(frame) + QStringLiteral("  | SEN DIAG"))) << l.toStdString();
}

}  // namespace

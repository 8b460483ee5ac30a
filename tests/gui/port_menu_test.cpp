// The Qt window's ports, offscreen: a right click on a Com radio opens the
// menu of the ports found and assigns one; elsewhere the window's own menu
// with the About item stays; tooltips are renewed as they show; assignments
// round-trip through the settings file.
#include "console/ConsoleDlg.h"
#include "framework/qt/PortSettings.h"
#include "framework/qt/QtHost.h"

#include "FakeDevices.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QSettings>
#include <QTimer>

namespace {

// Once a pop-up menu shows: records its entries and picks the first enabled
// one whose text starts with prefix (or none: the menu is closed).
struct MenuPicker {
    QStringList seen;
    bool shown = false;
    void Arm(const QString& prefix) {
        auto* poll = new QTimer;
        poll->setInterval(5);
        QObject::connect(poll, &QTimer::timeout, [this, poll, prefix] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu) return;
            poll->stop();
            poll->deleteLater();
            shown = true;
            QAction* pick = nullptr;
            for (QAction* a : menu->actions()) {
                seen << (a->isSeparator() ? QStringLiteral("--") : a->text());
                if (!pick && !prefix.isEmpty() && a->isEnabled() && a->text().startsWith(prefix)) pick = a;
            }
            if (pick) {
                menu->setActiveAction(pick);
                QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                QApplication::sendEvent(menu, &enter);
            } else {
                menu->close();
            }
        });
        poll->start();
    }
};

struct QtPorts : ::testing::Test {
    FakeDevices fake;
    fw::QtHost host;
    CConsoleDlg dlg{host};
    std::vector<std::pair<int, std::optional<std::string>>> saved;
    void SetUp() override {
        ASSERT_TRUE(fake.BuildLaptop());
        dlg.m_devRoots = fake.roots;
        dlg.m_onPortAssigned = [this](int n, const std::optional<std::string>& p) { saved.emplace_back(n, p); };
        dlg.Create();
        host.DialogWindow()->show();
    }
    // A right click in the middle of control id.
    void RightClick(int id) {
        QWidget* w = host.Widget(id);
        const QPoint at = w->rect().center();
        QContextMenuEvent e(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
        QApplication::sendEvent(w, &e);
    }
};

TEST_F(QtPorts, RightClickOnAComRadioAssignsAPortFound) {
    MenuPicker picker;
    picker.Arm(QStringLiteral("ttyUSB0:"));
    RightClick(1041);  // Com3
    ASSERT_TRUE(picker.shown);
    EXPECT_TRUE(picker.seen.contains(QStringLiteral("default (/dev/ttyS2)")));
    EXPECT_TRUE(picker.seen.contains(
        QStringLiteral("ttyUSB0: FTDI FT232R USB UART, serial A1B2C3 (0403:6001, ftdi_sio)")));
    EXPECT_FALSE(picker.seen.contains(QStringLiteral("ZANTU Test Program 정보(&A)...")));
    EXPECT_EQ(dlg.m_Comm.GetPortMap().PathFor(3), fake.ById());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].first, 3);
    EXPECT_TRUE(host.Widget(1041)->toolTip().startsWith(QString::fromStdString(fake.ById() + "\nFTDI")));
    EXPECT_EQ(host.GetCheck(1039), 1);  // the right click chose no radio

    MenuPicker back;
    back.Arm(QStringLiteral("default"));
    RightClick(1041);
    EXPECT_EQ(dlg.m_Comm.GetPortMap().PathFor(3), "/dev/ttyS2");
    EXPECT_EQ(saved.back(), (std::pair<int, std::optional<std::string>>{3, std::nullopt}));
}

TEST_F(QtPorts, ElsewhereTheWindowKeepsItsAboutMenu) {
    for (int id : {1000, ids::kOpen}) {
        MenuPicker picker;
        picker.Arm(QString());  // look, choose nothing
        RightClick(id);
        ASSERT_TRUE(picker.shown) << id;
        EXPECT_EQ(picker.seen, QStringList{QStringLiteral("ZANTU Test Program 정보(&A)...")}) << id;
    }
    EXPECT_TRUE(saved.empty());
}

TEST_F(QtPorts, TooltipIsRenewedWhenItShows) {
    QWidget* com2 = host.Widget(1040);
    PortMap map;
    map.Set(2, fake.dev + "/ttyUSB0");
    dlg.m_Comm.SetPortMap(map);  // changed behind the window's back
    EXPECT_TRUE(com2->toolTip().startsWith(QStringLiteral("/dev/ttyS1")));
    QHelpEvent e(QEvent::ToolTip, com2->rect().center(), com2->mapToGlobal(com2->rect().center()));
    QApplication::sendEvent(com2, &e);
    EXPECT_EQ(com2->toolTip().toStdString(),
              fake.dev + "/ttyUSB0\nFTDI FT232R USB UART, serial A1B2C3 (0403:6001, ftdi_sio)\npresent");
}

TEST(QtPortSettings, AssignmentsRoundTrip) {
    TempTree tree;
    const QString file = QString::fromStdString(tree.Path("zantu-console.conf"));
    {
        QSettings s(file, QSettings::IniFormat);
        fw::SavePortAssignment(s, 3, std::string("/dev/serial/by-id/usb-FTDI_x-if00-port0"));
        fw::SavePortAssignment(s, 10, std::string("/dev/ttyACM0"));
        fw::SavePortAssignment(s, 4, std::string("/dev/ttyUSB1"));
        fw::SavePortAssignment(s, 4, std::nullopt);        // back to the default
        fw::SavePortAssignment(s, 11, std::string("/x"));  // not a port: ignored
        s.setValue(QStringLiteral("ports/COM5"), QString());  // an empty entry is no assignment
    }
    QSettings s(file, QSettings::IniFormat);
    EXPECT_EQ(fw::LoadPortAssignments(s),
              (std::vector<std::pair<int, std::string>>{{3, "/dev/serial/by-id/usb-FTDI_x-if00-port0"},
                                                        {10, "/dev/ttyACM0"}}));
}

}  // namespace

// The Qt window back-end, offscreen: controls at their places, Enter does not
// close, radios exclusive per group, timers, posted messages, nested boxes.
#include "console/ConsoleDlg.h"
#include "console/DialogTemplate.h"
#include "console/LayoutTable.h"
#include "framework/qt/QtHost.h"

#include <gtest/gtest.h>

#include <functional>

#include "servicelog/PasswordDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QRadioButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QTimer>

namespace {

void Key(QWidget* w, int key, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &release);
}

struct QtConsole : ::testing::Test {
    fw::QtHost host;
    CConsoleDlg dlg{host};
    void SetUp() override {
        dlg.Create();
        host.DialogWindow()->show();
    }
    static void Spin(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
};

TEST_F(QtConsole, EveryControlStandsAtItsRectangle) {
    for (const TemplateEntry& e : g_DialogTemplate) ASSERT_NE(host.Widget(e.id), nullptr) << e.id;
    const auto bu = host.DialogBaseUnits();
    EXPECT_EQ(host.GetControlRect(1000), DuToPixels({7, 9, 271, 212}, bu));
    EXPECT_EQ(host.GetControlRect(2), DuToPixels({228, 225, 50, 14}, bu));
    for (int page = 0; page < 6; ++page) {
        host.SelectTabForTest(page);
        for (const LayoutRow& r : g_Layout) {
            if (r.page == kLayoutEndPage) break;
            if (r.page != page) continue;
            EXPECT_EQ(host.GetControlRect(r.id),
                      (fw::Rect{r.left, r.top, r.right - r.left, r.bottom - r.top}))
                << r.id;
            EXPECT_TRUE(host.IsControlVisible(r.id)) << r.id;
        }
    }
    EXPECT_EQ(host.GetTitle(), CConsoleDlg::BuildTitle());
    EXPECT_EQ(host.GetControlText(ids::kStatus), "!!! Disconnected");
}

TEST_F(QtConsole, EnterDoesNotCloseEscapeDoes) {
    host.SelectTabForTest(1);
    auto* edit = qobject_cast<QLineEdit*>(host.Widget(1035));
    ASSERT_NE(edit, nullptr);
    edit->setEnabled(true);
    edit->setFocus();
    Key(edit, Qt::Key_Return, QStringLiteral("\r"));
    Key(host.DialogWindow(), Qt::Key_Enter, QStringLiteral("\r"));
    Spin(20);
    EXPECT_FALSE(host.Ended());
    EXPECT_TRUE(host.DialogWindow()->isVisible());
    Key(host.DialogWindow(), Qt::Key_Escape);
    EXPECT_TRUE(host.Ended());
    EXPECT_EQ(host.Result(), ids::IDCANCEL);
}

TEST_F(QtConsole, RadiosExclusivePerGroupAndDigitsOnlyTyping) {
    auto* com3 = qobject_cast<QRadioButton*>(host.Widget(1041));
    auto* com7 = qobject_cast<QRadioButton*>(host.Widget(1179));
    ASSERT_TRUE(com3 && com7);
    com3->click();
    EXPECT_EQ(host.GetCheck(1039), 0);
    com7->click();
    EXPECT_EQ(host.GetCheck(1041), 0);
    EXPECT_EQ(host.GetCheck(1179), 1);
    EXPECT_EQ(host.GetCheck(1043), 1);  // SEN DIAG group untouched
    EXPECT_EQ(host.GetCheck(1115), 1);  // TEST group untouched
    host.SetControlText(1090, "1A");    // code may write hex into a digits-only edit
    EXPECT_EQ(host.GetControlText(1090), "1A");
    auto* e = qobject_cast<QLineEdit*>(host.Widget(1119));
    e->setEnabled(true);
    e->clear();
    for (char c : std::string("12ab3")) Key(e, Qt::Key_A, QString(QLatin1Char(c)));
    EXPECT_EQ(e->text(), QStringLiteral("123"));
}

TEST_F(QtConsole, TimersPostedMessagesAndNestedBox) {
    struct Probe : fw::Window {
        int timer = 0, msg = 0;
        void OnTimer(int) override { ++timer; }
        std::intptr_t OnMessage(unsigned, std::uintptr_t, std::intptr_t) override { return ++msg; }
        void OnCommand(int) override {}
        void OnTabSelChange() override {}
        void OnCancel() override {}
        void OnAbout() override {}
    } probe;
    host.SetWindow(&probe);
    host.SetTimer(7, 10);
    host.PostMessage(0x405, 0, 0);
    EXPECT_EQ(probe.msg, 0);  // queued, not run at once
    // Waits on events, not on a fixed time: a loaded machine may take long.
    auto spinUntil = [](const std::function<bool()>& pred) {
        QElapsedTimer t;
        t.start();
        while (!pred() && t.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    spinUntil([&] { return probe.timer >= 2 && probe.msg >= 1; });
    EXPECT_GE(probe.timer, 2);  // periodic until killed
    EXPECT_EQ(probe.msg, 1);
    Spin(20);
    EXPECT_EQ(probe.msg, 1);  // run once
    host.KillTimer(7);
    EXPECT_FALSE(host.IsTimerRunning(7));
    // A message box's own loop still runs timers: the box is closed from
    // inside its loop once the timer has fired three more times (or after a
    // long limit, and then the check below fails).
    const int before = probe.timer;
    host.SetTimer(7, 10);
    QElapsedTimer since;
    since.start();
    auto* closer = new QTimer;
    closer->setInterval(5);
    QObject::connect(closer, &QTimer::timeout, [&, closer] {
        if (probe.timer <= before + 2 && since.elapsed() < 10000) return;
        closer->stop();
        closer->deleteLater();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w)) box->accept();
    });
    closer->start();
    EXPECT_EQ(host.MessageBox("text", "", fw::MsgIcon::Information), fw::kIdOk);
    EXPECT_GT(probe.timer, before + 2);
    host.KillTimer(7);
    host.SetWindow(&dlg);
}

// Runs f on the first modal dialog of type T once it is shown.
template <class T, class F>
void OnModal(F f) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, f] {
        if (auto* d = qobject_cast<T*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            f(d);
        }
    });
    poll->start();
}

TEST_F(QtConsole, PasswordPromptHidesTextTakesTwentyAndClosesOnEnterOrEscape) {
    struct Seen {
        QString title;
        QLineEdit::EchoMode echo = QLineEdit::Normal;
        QString text;
        int buttons = -1;
        QString label;
        QSize size;
        QRect edit;
    } seen;
    auto type = [&seen](QDialog* d, const QString& keys, int closeKey) {
        seen.title = d->windowTitle();
        auto* e = d->findChild<QLineEdit*>();
        ASSERT_NE(e, nullptr);
        seen.echo = e->echoMode();
        seen.buttons = static_cast<int>(d->findChildren<QAbstractButton*>().size());
        seen.size = d->size();
        if (auto* l = d->findChild<QLabel*>()) seen.label = l->text();
        seen.edit = e->geometry();
        for (QChar c : keys) Key(e, Qt::Key_A, QString(c));
        seen.text = e->text();
        Key(e, closeKey, closeKey == Qt::Key_Return ? QStringLiteral("\r") : QString());
    };
    OnModal<QDialog>([&](QDialog* d) { type(d, QStringLiteral("rinq"), Qt::Key_Return); });
    CPasswordDlg ok(host);
    EXPECT_EQ(ok.DoModal(), fw::kIdOk);
    EXPECT_EQ(ok.m_strPassword, "rinq");
    EXPECT_EQ(seen.title, QStringLiteral("Enter Password"));
    EXPECT_EQ(seen.echo, QLineEdit::Password);
    // It says what it asks and has OK and Cancel, beside Enter and Esc.
    EXPECT_EQ(seen.buttons, 2);
    EXPECT_EQ(seen.label, QStringLiteral("The service password:"));
    // The edit keeps the template's size (173 x 12 dialog units at x 7) in a
    // prompt at least as wide as the template's 187.
    const auto bu = host.DialogBaseUnits();
    const fw::Rect client = DuToPixels({0, 0, 187, 26}, bu);
    const fw::Rect edit = DuToPixels({7, 7, 173, 12}, bu);
    EXPECT_GE(seen.size.width(), client.w);
    EXPECT_EQ(seen.edit.size(), QSize(edit.w, edit.h));
    EXPECT_EQ(seen.edit.x(), edit.x);

    OnModal<QDialog>([&](QDialog* d) { type(d, QString(25, QLatin1Char('x')), Qt::Key_Return); });
    CPasswordDlg longer(host);
    EXPECT_EQ(longer.DoModal(), fw::kIdOk);
    EXPECT_EQ(longer.m_strPassword, std::string(20, 'x'));

    OnModal<QDialog>([&](QDialog* d) { type(d, QStringLiteral("rinq"), Qt::Key_Escape); });
    CPasswordDlg cancelled(host);
    EXPECT_EQ(cancelled.DoModal(), fw::kIdCancel);
    EXPECT_EQ(cancelled.m_strPassword, "");  // the text reaches it only on OK
}

TEST_F(QtConsole, HexFileDialogOffersBothFiltersAndReturnsTheChosenPath) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString dir = tmp.path();
    const QString file = dir + QStringLiteral("/pick.hex");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(":00000001FF\n");
    }
    QStringList filters;
    OnModal<QFileDialog>([&](QFileDialog* d) {
        filters = d->nameFilters();
        d->setDirectory(dir);
        d->selectFile(file);
        static_cast<QDialog*>(d)->accept();  // public on the base, the file dialog's own runs
    });
    const auto chosen = host.OpenFileDialog("HEX(*.hex) |*.hex|  all(*.*)|*.*||");
    // The file dialog trims the names it shows.
    EXPECT_EQ(filters, (QStringList{QStringLiteral("HEX(*.hex)"), QStringLiteral("all(*)")}));
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(QFileInfo(QString::fromStdString(*chosen)).canonicalFilePath(),
              QFileInfo(file).canonicalFilePath());

    OnModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
    EXPECT_FALSE(host.OpenFileDialog("HEX(*.hex) |*.hex|  all(*.*)|*.*||").has_value());
}

TEST_F(QtConsole, ReceiveTextKeepsItsNewestLineInViewAfterEveryDecode) {
    host.SelectTabForTest(1);
    auto* recv = qobject_cast<QPlainTextEdit*>(host.Widget(ids::kRecv));
    ASSERT_NE(recv, nullptr);
    // A 'w' dump whose 32 values are k: one line of the receive text.
    auto dump = [&](int k) {
        std::string f{'\x01', '0', '0', 'w'};
        for (int i = 0; i < 32; ++i) f.push_back(static_cast<char>(0x20 + k));
        f.push_back('\x03');
        char x = 0;
        for (char c : f) x = static_cast<char>(x ^ c);
        f.push_back(x);
        dlg.m_strRxFrame = f;
        dlg.DecodeResponse();
        Spin(1);
    };
    for (int k = 0; k < 60; ++k) {
        dump(k % 16);
        QScrollBar* bar = recv->verticalScrollBar();
        ASSERT_EQ(bar->value(), bar->maximum()) << "after dump " << k;
        // The last line of text stands inside the visible area.
        QTextCursor end(recv->document());
        end.movePosition(QTextCursor::End);
        end.movePosition(QTextCursor::PreviousBlock);
        const QRect r = recv->cursorRect(end);
        ASSERT_TRUE(recv->viewport()->rect().contains(r.center())) << "after dump " << k;
    }
    EXPECT_GT(recv->verticalScrollBar()->maximum(), 0);  // the text did need scrolling
    // A timer's data exchange rewrites the controls: the view stays at the end.
    dlg.UpdateData(false);
    EXPECT_EQ(recv->verticalScrollBar()->value(), recv->verticalScrollBar()->maximum());
}

// The About box, from F1 and from the context menu's item (its text holds
// Hangul): the program's own icon, the version text and one OK button.
TEST_F(QtConsole, AboutBoxShowsTheProgramIconFromF1AndTheContextMenu) {
    struct Seen {
        QString text;
        QImage icon;
        int buttons = -1;
        bool ok = false;
    };
    auto look = [](Seen& seen) {
        OnModal<QMessageBox>([&seen](QMessageBox* box) {
            seen.text = box->text();
            seen.icon = box->iconPixmap().toImage();
            seen.buttons = static_cast<int>(box->buttons().size());
            seen.ok = box->button(QMessageBox::Ok) != nullptr;
            box->button(QMessageBox::Ok)->click();
        });
    };
    QWidget* win = host.DialogWindow();
    const int size = win->style()->pixelMetric(QStyle::PM_MessageBoxIconSize);
    const QImage appIcon = win->windowIcon().pixmap(QSize(size, size)).toImage();
    ASSERT_FALSE(appIcon.isNull());
    const QImage info =
        win->style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(size, size).toImage();

    Seen byKey;
    look(byKey);
    Key(win, Qt::Key_F1);
    EXPECT_EQ(byKey.text, QStringLiteral("ZANTU-100 Version 1.0"));
    EXPECT_EQ(byKey.buttons, 1);
    EXPECT_TRUE(byKey.ok);
    EXPECT_EQ(byKey.icon.convertToFormat(QImage::Format_ARGB32),
              appIcon.convertToFormat(QImage::Format_ARGB32));
    EXPECT_NE(byKey.icon.convertToFormat(QImage::Format_ARGB32),
              info.convertToFormat(QImage::Format_ARGB32));

    // The context menu holds the one About item; Enter on it opens the box.
    QString item;
    Seen byMenu;
    look(byMenu);
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, &item] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || menu->actions().isEmpty()) return;
        poll->stop();
        poll->deleteLater();
        item = menu->actions().first()->text();
        menu->setActiveAction(menu->actions().first());
        Key(menu, Qt::Key_Return, QStringLiteral("\r"));
    });
    poll->start();
    QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, QPoint(10, 10), win->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(win, &menuEvent);
    EXPECT_EQ(item, QStringLiteral("ZANTU Test Program 정보(&A)..."));
    EXPECT_EQ(byMenu.text, QStringLiteral("ZANTU-100 Version 1.0"));
    EXPECT_EQ(byMenu.icon.convertToFormat(QImage::Format_ARGB32),
              appIcon.convertToFormat(QImage::Format_ARGB32));
    EXPECT_FALSE(host.Ended());
}

// The window's icon is the picture the desktop shows (rendered at build time
// from the same SVG), not a stand-in.
TEST_F(QtConsole, WindowIconIsTheInstalledPicture) {
    const QImage rendered(QStringLiteral(":/icons/32.png"));
    ASSERT_FALSE(rendered.isNull()) << "the icon's PNG sizes are not in the resources";
    const QImage shown = host.DialogWindow()->windowIcon().pixmap(QSize(32, 32)).toImage();
    EXPECT_EQ(shown.convertToFormat(QImage::Format_ARGB32_Premultiplied),
              rendered.convertToFormat(QImage::Format_ARGB32_Premultiplied));
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

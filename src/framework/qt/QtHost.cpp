#include "framework/qt/QtHost.h"
#include "console/ExchangeLine.h"
#include "framework/qt/ConsoleLook.h"
#include "framework/qt/Placement.h"
#include "framework/qt/TraceWindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTabBar>
#include <QSignalBlocker>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <sys/resource.h>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

// The resources live in a static library: nothing refers to them, so the
// linker would leave them out unless they are registered by name.
static void InitConsoleResources() {
    Q_INIT_RESOURCE(resources);
#if ZANTU_HAVE_ICON_PNGS
    Q_INIT_RESOURCE(zantu_icons);
#endif
}

namespace fw {

namespace {

QRect ToQ(Rect r) { return QRect(r.x, r.y, r.w, r.h); }

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }

// String 101: the About item of the dialog's menu.
const char* const kAboutItem = "ZANTU Test Program 정보(&A)...";

// The dialog font: Tahoma 9 pt where a Tahoma-metric font is installed, else
// the nearest sans font, at the 12-pixel size that 9 pt has at 96 dpi.
QFont DialogFont() {
    // Debian's fonts-wine puts its Tahoma outside the font path.
    if (!QFontDatabase::families().contains(QStringLiteral("Tahoma"))) {
        for (const char* path : {"/usr/share/wine/fonts/tahoma.ttf",
                                 "/usr/share/fonts/truetype/wine/tahoma.ttf"})
            if (QFileInfo::exists(QString::fromLatin1(path)))
                QFontDatabase::addApplicationFont(QString::fromLatin1(path));
    }
    QFont f(QStringLiteral("Tahoma"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(12);
    return f;
}

// "name|pattern|name|pattern||" to the file dialog's "name(pattern);;...":
// each name is kept as written, except that its pattern part must close the
// entry for the dialog to read it, and "*.*" means every file here (names need
// not have a dot).  "HEX(*.hex) |*.hex|  all(*.*)|*.*||" -> "HEX(*.hex);;  all(*)".
QString ConvertFilter(std::string_view filter) {
    const QStringList parts = Q(filter).split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i];
        QString pattern = parts[i + 1].trimmed();
        if (name.trimmed().isEmpty() && pattern.isEmpty()) break;
        pattern.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (pattern == QLatin1String("*.*")) pattern = QStringLiteral("*");
        while (!name.isEmpty() && name.back().isSpace()) name.chop(1);
        const qsizetype paren = name.lastIndexOf(QLatin1Char('('));
        if (paren >= 0 && name.endsWith(QLatin1Char(')'))) name.truncate(paren);
        else name += QLatin1Char(' ');
        out << QStringLiteral("%1(%2)").arg(name, pattern);
    }
    return out.join(QStringLiteral(";;"));
}

// The program's icon: the sizes rendered from its SVG at build time (the ones
// the desktop shows), else the SVG itself where Qt has an SVG image plug-in,
// else the same picture drawn.
QIcon ConsoleIcon() {
    static const bool registered = (InitConsoleResources(), true);
    (void)registered;
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString png = QStringLiteral(":/icons/%1.png").arg(size);
        if (QFileInfo::exists(png)) icon.addFile(png, QSize(size, size));
    }
    if (!icon.isNull()) return icon;
    icon = QIcon(QStringLiteral(":/zantu-icon.svg"));
    if (!icon.pixmap(32, 32).isNull()) return icon;
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x1f, 0x5f, 0x9f));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(1, 1, 30, 30, 5, 5);
    p.setBrush(QColor(0x6c, 0xc0, 0x6c));
    for (int i = 0; i < 3; ++i) p.drawRect(6 + i * 2, 8 + i * 5, 20, 4);  // notes leaving the box
    p.setPen(Qt::white);
    QFont f(QStringLiteral("Sans"));
    f.setPixelSize(11);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRect(0, 22, 32, 10), Qt::AlignCenter, QStringLiteral("Z"));
    p.end();
    return QIcon(pm);
}

}  // namespace

// ---- the window -----------------------------------------------------------

QtDialogWindow::QtDialogWindow(QtHost& host)
    : QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_host(host) {}

void QtDialogWindow::keyPressEvent(QKeyEvent* e) {
    switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: e->accept(); return;  // Enter never ends the console
    case Qt::Key_Escape: e->accept(); m_host.Cancel(); return;
    case Qt::Key_F1: e->accept(); m_host.About(); return;
    default: QDialog::keyPressEvent(e);
    }
}

void QtDialogWindow::closeEvent(QCloseEvent* e) {
    if (m_host.Ended()) {
        e->accept();
        return;
    }
    e->ignore();
    m_host.Cancel();
}

void QtDialogWindow::contextMenuEvent(QContextMenuEvent* e) {
    if (m_host.ContextMenuAt(childAt(e->pos()))) return;
    QMenu menu(this);
    QAction* about = menu.addAction(QString::fromUtf8(kAboutItem));
    if (QAction* trace = m_host.WireTraceAction()) menu.addAction(trace);
    if (QAction* record = m_host.BatchRecordAction()) menu.addAction(record);
    if (QAction* tool = m_host.FrameToolAction()) menu.addAction(tool);
    if (menu.exec(e->globalPos()) == about) m_host.About();
}

void QtDialogWindow::reject() { m_host.Cancel(); }
void QtDialogWindow::accept() {}  // no OK: nothing accepts the console

// ---- the host ---------------------------------------------------------------

QtHost::QtHost() : m_font(DialogFont()) {}

QtHost::~QtHost() {
    if (m_exchange) m_exchange->SetOnChange(nullptr);
    for (auto& [id, t] : m_timers) t->stop();
    KeepWireTracePlace();
    delete m_dlg;
    delete m_style;
}

Host::BaseUnits QtHost::DialogBaseUnits() const {
    const QFontMetrics fm(m_font);
    const int w = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // The dialog font's cell at 12 pixels is 15 high (Tahoma's ascent and
    // descent); font files with tighter metrics must not shrink the dialog
    // below that.
    return BaseUnits{(w / 26 + 1) / 2, std::max(fm.height(), 15)};
}

void QtHost::RaisePriority() {
    // High priority where the system allows it; a refusal is of no concern.
    if (m_raisesPriority) (void)setpriority(PRIO_PROCESS, 0, -10);
}

void QtHost::CreateDialog(std::string_view title, int clientW, int clientH,
                          std::span<const ControlTemplate> controls) {
    delete m_dlg;
    m_ctls.clear();
    m_rects.clear();
    m_dlg = new QtDialogWindow(*this);
    if (!m_style) m_style = new ConsoleStyle;  // our own: the host outlives the dialog
    // Below the controls, a strip of two lines: the exchange line and the
    // last failure's reason (wrapped over both while nothing is under way).
    const int lineH = std::max(QFontMetrics(m_font).height(), 15);
    const int strip = m_exchange ? 2 * lineH + 4 : 0;
    m_dlg->setFont(m_font);
    m_dlg->setWindowTitle(Q(title));
    m_dlg->setWindowIcon(ConsoleIcon());
    m_dlg->setSizeGripEnabled(false);
    // The controls stand on a canvas of the template's size.  Where the screen
    // the dialog opens on is smaller, the dialog is as large as the screen
    // allows and the canvas scrolls in it, every control at its size and place.
    auto* scroll = new QScrollArea(m_dlg);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(false);
    m_canvas = new QWidget;
    m_canvas->setObjectName(QStringLiteral("canvas"));
    m_canvas->setFixedSize(clientW, clientH + strip);
    scroll->setWidget(m_canvas);
    auto* lay = new QVBoxLayout(m_dlg);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->addWidget(scroll);
    QScreen* scr = QGuiApplication::screenAt(QCursor::pos());
    if (!scr) scr = QGuiApplication::primaryScreen();
    const int titleBar = m_dlg->style()->pixelMetric(QStyle::PM_TitleBarHeight) + 8;
    const QSize fit = FitOnScreen(m_canvas->size(), titleBar,
                                  scr ? scr->availableGeometry() : QRect(QPoint(0, 0), m_canvas->size()),
                                  m_dlg->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    m_fits = fit == m_canvas->size();
    m_dlg->setFixedSize(fit);

    QButtonGroup* group = nullptr;
    std::vector<QWidget*> lower;  // frames drawn beneath their neighbours
    for (const ControlTemplate& t : controls) {
        const QString cap = t.caption ? QString::fromUtf8(t.caption) : QString();
        QWidget* w = nullptr;
        switch (t.kind) {
        case CtlKind::PushButton: {
            auto* b = new QPushButton(cap, m_canvas);
            b->setAutoDefault(false);
            b->setDefault(false);
            w = b;
            break;
        }
        case CtlKind::CheckBox:
            w = new QCheckBox(cap, m_canvas);
            w->setStyle(m_style);
            break;
        case CtlKind::Radio: {
            auto* r = new QRadioButton(cap, m_canvas);
            r->setStyle(m_style);
            r->setAutoExclusive(false);
            if ((t.style & kStyleGroupStart) || !group) {
                group = new QButtonGroup(m_canvas);
                group->setExclusive(true);
            }
            group->addButton(r);
            w = r;
            break;
        }
        case CtlKind::GroupBox: {
            w = new FrameBox(cap, m_canvas);
            w->setAttribute(Qt::WA_TransparentForMouseEvents);
            lower.push_back(w);
            break;
        }
        case CtlKind::StaticText: {
            auto* l = new QLabel(cap, m_canvas);
            l->setTextFormat(Qt::PlainText);
            l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            w = l;
            break;
        }
        case CtlKind::Edit: {
            auto* e = new QLineEdit(cap, m_canvas);
            if (t.style & kStyleRightAlign) e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (t.style & kStyleDigitsOnly)
                e->setValidator(new QRegularExpressionValidator(
                    QRegularExpression(QStringLiteral("[0-9]*")), e));
            if (t.style & kStyleReadOnly) e->setReadOnly(true);
            if (t.style & kStylePassword) e->setEchoMode(QLineEdit::Password);
            w = e;
            break;
        }
        case CtlKind::EditMulti: {
            auto* e = new QPlainTextEdit(cap, m_canvas);
            e->setReadOnly(true);
            e->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            e->setLineWrapMode(QPlainTextEdit::WidgetWidth);
            w = e;
            break;
        }
        case CtlKind::Progress: {
            auto* p = new QProgressBar(m_canvas);
            p->setTextVisible(false);
            w = p;
            break;
        }
        case CtlKind::Tab: {
            auto* tab = new QTabWidget(m_canvas);
            tab->setElideMode(Qt::ElideNone);  // a tab's title is never cut
            tab->tabBar()->setElideMode(Qt::ElideNone);
            const int id = t.id;
            QObject::connect(tab, &QTabWidget::currentChanged, this, [this, id](int) {
                (void)id;
                if (m_pWnd) m_pWnd->OnTabSelChange();
            });
            lower.push_back(tab);
            w = tab;
            break;
        }
        }
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            const int id = t.id;
            QObject::connect(b, &QAbstractButton::clicked, this, [this, id] {
                if (m_pWnd) m_pWnd->OnCommand(id);
            });
        }
        w->installEventFilter(this);
        ApplyReadableLook(w);
        m_rects[t.id] = t.rect;
        w->setGeometry(ToQ(t.rect));
        w->setVisible((t.style & kStyleHidden) == 0);
        w->setEnabled((t.style & kStyleDisabled) == 0);
        m_ctls[t.id] = Ctl{t.kind, w};
    }
    // Group boxes beneath the frames' contents, the tab control beneath all.
    for (QWidget* w : lower) w->lower();
    if (QWidget* tab = Widget(1000)) tab->lower();
    if (m_exchange) {
        const Rect tabR = m_rects.count(1000) ? m_rects[1000] : Rect{8, 0, clientW - 16, 0};
        m_exchangeLabel = new QLabel(m_canvas);
        m_exchangeLabel->setObjectName(QStringLiteral("exchange"));
        m_exchangeLabel->setTextFormat(Qt::PlainText);
        m_exchangeLabel->setGeometry(ToQ(Rect{tabR.x, clientH, tabR.w, lineH}));
        m_reasonLabel = new QLabel(m_canvas);
        m_reasonLabel->setObjectName(QStringLiteral("reason"));
        m_reasonLabel->setTextFormat(Qt::PlainText);
        m_reasonLabel->setWordWrap(true);
        m_reasonLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        m_reasonLabel->setGeometry(ToQ(Rect{tabR.x, clientH, tabR.w, 2 * lineH}));
        QPalette warn = m_reasonLabel->palette();
        warn.setColor(QPalette::WindowText, QColor(0x9a, 0x1b, 0x12));  // dark red: 7:1 on the window
        m_reasonLabel->setPalette(warn);
        if (!m_exchangeTick) {
            m_exchangeTick = new QTimer(this);
            m_exchangeTick->setInterval(100);
            QObject::connect(m_exchangeTick, &QTimer::timeout, this, [this] { RefreshExchange(); });
        }
        RefreshExchange();
    }
    // Pages by keyboard: Ctrl+Tab and Ctrl+PgDn forward, Ctrl+Shift+Tab and Ctrl+PgUp back.
    for (auto [keys, delta] : {std::pair{QKeySequence(Qt::CTRL | Qt::Key_Tab), 1},
                               std::pair{QKeySequence(Qt::CTRL | Qt::Key_PageDown), 1},
                               std::pair{QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), -1},
                               std::pair{QKeySequence(Qt::CTRL | Qt::Key_PageUp), -1}}) {
        auto* a = new QAction(m_dlg);
        a->setShortcut(keys);
        a->setShortcutContext(Qt::WindowShortcut);
        const int d = delta;
        QObject::connect(a, &QAction::triggered, this, [this, d] { StepTab(d); });
        m_dlg->addAction(a);
    }
    OrderTabs();
    InstallWireTraceAction();
    InstallBatchRecord();
    InstallFrameToolAction();
}

// ---- the wire trace window --------------------------------------------------------

void QtHost::SetWireTraceStore(trace::LineStore* store) {
    m_traceStore = store;
    InstallWireTraceAction();
}

void QtHost::InstallWireTraceAction() {
    if (!m_dlg || !m_traceStore || m_traceAction) return;
    auto* a = new QAction(QStringLiteral("Wire trace"), m_dlg);
    a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    a->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(a, &QAction::triggered, this, [this] { ShowWireTrace(); });
    m_dlg->addAction(a);
    m_traceAction = a;
}

void QtHost::SetWireTrace(trace::WireTrace* wire, const QString& console) {
    m_wire = wire;
    m_console = console;
    if (m_traceWnd) m_traceWnd->SetWireTrace(m_wire, m_console);
}

void QtHost::SetHandFrameLink(HandFrameLink* link) {
    m_handLink = link;
    if (m_toolWnd) m_toolWnd->SetLink(link);
    if (m_traceWnd) m_traceWnd->SetFrameToolOpener(link ? std::function<void()>([this] { ShowFrameTool(); }) : nullptr);
    InstallFrameToolAction();
    if (m_toolAction) m_toolAction->setEnabled(link != nullptr);
}

void QtHost::InstallFrameToolAction() {
    if (!m_dlg || !m_handLink || m_toolAction) return;
    auto* a = new QAction(QStringLiteral("Frame tool"), m_dlg);
    a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    a->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(a, &QAction::triggered, this, [this] { ShowFrameTool(); });
    m_dlg->addAction(a);
    m_toolAction = a;
}

void QtHost::ShowFrameTool() {
    if (!m_dlg || !m_handLink) return;
    if (!m_toolWnd) {
        // A child of the console, so the console's modality leaves it usable.
        m_toolWnd = new FrameToolWindow(m_dlg);
        m_toolWnd->SetLink(m_handLink);
        const QScreen* scr = m_dlg->screen();
        const QRect avail = scr ? scr->availableGeometry() : QRect(QPoint(0, 0), QSize(1 << 15, 1 << 15));
        const QSize border = m_dlg->frameGeometry().size() - m_dlg->size();
        const QRect console = m_dlg->frameGeometry();
        std::vector<QRect> others;
        if (m_traceWnd && m_traceWnd->isVisible()) others.push_back(m_traceWnd->frameGeometry());
        if (m_recordWnd && m_recordWnd->isVisible()) others.push_back(m_recordWnd->frameGeometry());
        std::optional<QRect> among;
        if (!others.empty())
            among = PlaceAmong(console, others, m_toolWnd->size() + border, m_toolWnd->minimumSizeHint() + border,
                               avail);
        if (among) {
            m_toolWnd->resize(among->size() - border);
            m_toolWnd->move(among->topLeft());
        } else {
            const QSize frame = FitBeside(console, m_toolWnd->size() + border, m_toolWnd->minimumSizeHint() + border,
                                          avail);
            m_toolWnd->resize(frame - border);
            m_toolWnd->move(PlaceBeside(console, frame, avail, std::nullopt));
        }
    }
    m_toolWnd->show();
    m_toolWnd->raise();
    m_toolWnd->activateWindow();
}

void QtHost::ShowWireTrace() {
    if (!m_dlg || !m_traceStore) return;
    if (!m_traceWnd) {
        // A child of the console, so the console's modality leaves it usable.
        m_traceWnd = new TraceWindow(*m_traceStore, m_dlg);
        m_traceWnd->SetWireTrace(m_wire, m_console);
        if (m_handLink) m_traceWnd->SetFrameToolOpener([this] { ShowFrameTool(); });
        m_traceWnd->installEventFilter(this);
        const QRect dlg = m_dlg->frameGeometry();
        // The frame a window gets, as the console's.
        const QSize frame = dlg.size() - m_dlg->size();
        QSize size(m_traceWnd->width(), std::max(m_traceWnd->height(), dlg.height()));
        std::optional<QPoint> remembered;
        QRect avail = m_dlg->screen() ? m_dlg->screen()->availableGeometry() : QRect(QPoint(0, 0), size + frame);
        if (m_settings) {
            const QVariant pos = m_settings->value(QStringLiteral("wireTrace/position"));
            const QSize kept = m_settings->value(QStringLiteral("wireTrace/size")).toSize();
            if (pos.canConvert<QPoint>() && pos.isValid()) remembered = pos.toPoint();
            if (kept.isValid()) size = kept.expandedTo(m_traceWnd->minimumSizeHint());
            if (remembered)
                if (const QScreen* there = QGuiApplication::screenAt(QRect(*remembered, size + frame).center()))
                    avail = there->availableGeometry();
        }
        std::optional<QRect> among;
        if (!remembered && m_recordWnd && m_recordWnd->isVisible())
            among = PlaceAmong(dlg, {m_recordWnd->frameGeometry()}, size + frame,
                               m_traceWnd->minimumSizeHint() + frame, avail);
        if (among) {
            // Beside the console and the batch record, covering neither.
            m_traceWnd->resize(among->size() - frame);
            m_traceWnd->move(among->topLeft());
        } else {
            if (!remembered)
                size = FitBeside(dlg, size + frame, m_traceWnd->minimumSizeHint() + frame, avail) - frame;
            m_traceWnd->resize(size);
            m_traceWnd->move(PlaceBeside(dlg, size + frame, avail, remembered));
        }
        m_tracePlaced = QRect(m_traceWnd->pos(), m_traceWnd->size());
    }
    m_traceWnd->show();
    m_traceWnd->raise();
    m_traceWnd->activateWindow();
}

// Keeps where the user moved or sized the wire trace window to, for the next run.
void QtHost::KeepWireTracePlace() {
    if (!m_settings || !m_traceWnd) return;
    const QRect now(m_traceWnd->pos(), m_traceWnd->size());
    if (now == m_tracePlaced) return;
    m_settings->setValue(QStringLiteral("wireTrace/position"), now.topLeft());
    m_settings->setValue(QStringLiteral("wireTrace/size"), now.size());
    m_tracePlaced = now;
}

// ---- the batch record window ------------------------------------------------------

void QtHost::SetBatchRecord(rec::BatchRecord* record, const QString& recordsDir, const QString& database) {
    m_record = record;
    m_recordsDir = recordsDir;
    m_database = database;
    InstallBatchRecord();
}

void QtHost::SetBatchStopper(std::function<void()> stop) {
    m_batchStop = std::move(stop);
    if (m_recordWnd) m_recordWnd->SetStopper(m_batchStop);
}

void QtHost::InstallBatchRecord() {
    if (!m_dlg || !m_record || m_recordAction) return;
    m_recordFiles = new BatchRecordFiles(*m_record, m_recordsDir, m_dlg, m_database);
    m_recordFiles->setParent(m_dlg);
    auto* a = new QAction(QStringLiteral("Batch record"), m_dlg);
    a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
    a->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(a, &QAction::triggered, this, [this] { ShowBatchRecord(); });
    m_dlg->addAction(a);
    m_recordAction = a;
}

void QtHost::ShowBatchRecord() {
    if (!m_dlg || !m_recordFiles) return;
    if (!m_recordWnd) {
        // A child of the console, so the console's modality leaves it usable.
        m_recordWnd = new BatchRecordWindow(*m_record, *m_recordFiles, m_dlg);
        // Beside the console, never over it; where the operator moves it, it stays.
        const QScreen* scr = m_dlg->screen();
        const QRect avail = scr ? scr->availableGeometry() : QRect(QPoint(0, 0), QSize(1 << 15, 1 << 15));
        // A tool window's frame: its size plus the title bar the console's has.
        const QSize border = m_dlg->frameGeometry().size() - m_dlg->size();
        const QRect console = m_dlg->frameGeometry();
        // Smaller where the screen has no room for it beside the console.
        std::optional<QRect> among;
        if (m_traceWnd && m_traceWnd->isVisible())
            among = PlaceAmong(console, {m_traceWnd->frameGeometry()}, m_recordWnd->size() + border,
                               m_recordWnd->minimumSizeHint() + border, avail);
        if (among) {
            // Beside the console and the wire trace, covering neither.
            m_recordWnd->resize(among->size() - border);
            m_recordWnd->move(among->topLeft());
        } else {
            const QSize frame = FitBeside(console, m_recordWnd->size() + border,
                                          m_recordWnd->minimumSizeHint() + border, avail);
            m_recordWnd->resize(frame - border);
            m_recordWnd->move(PlaceBeside(console, frame, avail, std::nullopt));
        }
        m_recordWnd->SetStopper(m_batchStop);
    }
    m_recordWnd->show();
    m_recordWnd->raise();
    m_recordWnd->activateWindow();
}

const QtHost::Ctl* QtHost::Find(int id) const {
    auto it = m_ctls.find(id);
    return it == m_ctls.end() ? nullptr : &it->second;
}

QWidget* QtHost::Widget(int id) const {
    const Ctl* c = Find(id);
    return c ? c->w : nullptr;
}

int QtHost::Exec() {
    if (!m_dlg) return 0;
    if (!m_ended) m_dlg->exec();
    return m_result;
}

void QtHost::SetTitle(std::string_view title) {
    if (m_dlg) m_dlg->setWindowTitle(Q(title));
}

std::string QtHost::GetTitle() const { return m_dlg ? S(m_dlg->windowTitle()) : std::string(); }

std::string QtHost::AppTitle() const {
    return S(QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
}

void QtHost::EndDialog(int nResult) {
    m_ended = true;
    m_result = nResult;
    for (auto& [id, t] : m_timers) t->stop();
    KeepWireTracePlace();
    if (m_dlg) m_dlg->done(nResult);
}

void QtHost::Cancel() {
    if (m_pWnd) m_pWnd->OnCancel();
}

void QtHost::About() {
    if (m_pWnd) m_pWnd->OnAbout();
}

int QtHost::IdOf(const QWidget* w) const {
    // The widget itself or the control it is part of (a tab's page, an edit's viewport).
    for (; w && w != m_dlg; w = w->parentWidget())
        for (const auto& [id, c] : m_ctls)
            if (c.w == w) return id;
    return 0;
}

bool QtHost::ContextMenuAt(QWidget* child) {
    const int id = IdOf(child);
    return id != 0 && m_pWnd && m_pWnd->OnContextMenu(id);
}

bool QtHost::eventFilter(QObject* o, QEvent* e) {
    if (e->type() == QEvent::Hide && o == m_traceWnd) KeepWireTracePlace();
    if (e->type() == QEvent::ToolTip && m_pWnd) {
        if (const int id = IdOf(qobject_cast<QWidget*>(o))) m_pWnd->OnToolTip(id);
    }
    return QObject::eventFilter(o, e);  // the tooltip shows as usual, with the renewed text
}

int QtHost::PopupMenu(std::span<const MenuItem> items) {
    QMenu menu(m_dlg);
    menu.setFont(m_font);
    std::vector<QAction*> actions;
    for (const MenuItem& it : items) {
        if (it.separator) {
            actions.push_back(menu.addSeparator());
            continue;
        }
        QAction* a = menu.addAction(Q(it.text));
        a->setEnabled(it.enabled);
        if (it.checked) {
            a->setCheckable(true);
            a->setChecked(true);
        }
        actions.push_back(a);
    }
    QAction* chosen = menu.exec(QCursor::pos());
    for (std::size_t i = 0; i < actions.size(); ++i)
        if (chosen && actions[i] == chosen) return static_cast<int>(i);
    return -1;
}

// ---- timers and messages ------------------------------------------------------

void QtHost::SetTimer(int nIdEvent, unsigned nElapseMs) {
    QTimer*& t = m_timers[nIdEvent];
    if (!t) {
        t = new QTimer(this);
        t->setTimerType(Qt::PreciseTimer);
        QObject::connect(t, &QTimer::timeout, this, [this, nIdEvent] {
            if (m_pWnd) m_pWnd->OnTimer(nIdEvent);
        });
    }
    t->start(static_cast<int>(nElapseMs));
}

void QtHost::KillTimer(int nIdEvent) {
    auto it = m_timers.find(nIdEvent);
    if (it != m_timers.end()) it->second->stop();
}

bool QtHost::IsTimerRunning(int id) const {
    auto it = m_timers.find(id);
    return it != m_timers.end() && it->second->isActive();
}

void QtHost::PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    QMetaObject::invokeMethod(
        this,
        [this, msg, wParam, lParam] {
            if (m_pWnd) m_pWnd->OnMessage(msg, wParam, lParam);
        },
        Qt::QueuedConnection);
}

void QtHost::WakeUiThread() {
    // By name: the queued call is made and freed inside Qt alone, so nothing of
    // ours is written by the reader thread and read by this one without our
    // own lock between (the requests themselves are under Host's mutex).
    QMetaObject::invokeMethod(this, "DrainRequests", Qt::QueuedConnection);
}

void QtHost::DrainRequests() { DrainCrossThread(); }

// ---- modal boxes --------------------------------------------------------------

int QtHost::MessageBox(std::string_view text, std::string_view caption, MsgIcon icon) {
    QMessageBox::Icon qi = QMessageBox::NoIcon;
    switch (icon) {
    case MsgIcon::None: qi = QMessageBox::NoIcon; break;
    case MsgIcon::Warning: qi = QMessageBox::Warning; break;
    case MsgIcon::Stop: qi = QMessageBox::Critical; break;
    case MsgIcon::Information: qi = QMessageBox::Information; break;
    case MsgIcon::Question: qi = QMessageBox::Question; break;
    case MsgIcon::Application: qi = QMessageBox::NoIcon; break;
    }
    const QString cap = caption.empty() ? Q(AppTitle()) : Q(caption);
    QMessageBox box(qi, cap, Q(text), QMessageBox::Ok, m_dlg);
    box.setFont(m_font);
    if (icon == MsgIcon::Application) {
        const int size = box.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &box);
        const QIcon app = m_dlg ? m_dlg->windowIcon() : ConsoleIcon();
        box.setIconPixmap(app.pixmap(QSize(size, size), box.devicePixelRatio()));
    }
    box.exec();
    return kIdOk;
}

int QtHost::AskYesNo(std::string_view text, std::string_view caption, MsgIcon icon) {
    const QMessageBox::Icon qi = icon == MsgIcon::Warning ? QMessageBox::Warning
                                 : icon == MsgIcon::Stop  ? QMessageBox::Critical
                                                          : QMessageBox::Question;
    const QString cap = caption.empty() ? Q(AppTitle()) : Q(caption);
    QMessageBox box(qi, cap, Q(text), QMessageBox::Yes | QMessageBox::No, m_dlg);
    box.setFont(m_font);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? kIdYes : kIdNo;
}

std::optional<std::string> QtHost::OpenFileDialog(std::string_view filter) {
    const QString path =
        QFileDialog::getOpenFileName(m_dlg, QString(), QString(), ConvertFilter(filter));
    if (path.isEmpty()) return std::nullopt;
    return S(path);
}

std::optional<std::string> QtHost::PromptText(std::string_view caption, int maxChars,
                                              bool password, const PromptLayout& layout) {
    QDialog d(m_dlg);
    d.setWindowTitle(Q(caption));
    d.setFont(m_font);
    auto* edit = new QLineEdit(&d);
    if (maxChars > 0) edit->setMaxLength(maxChars);
    if (password) edit->setEchoMode(QLineEdit::Password);
    // What it asks above the edit, OK and Cancel below; Enter still gives the
    // text and Esc still gives nothing.
    auto* label = layout.label.empty() ? nullptr : new QLabel(Q(layout.label), &d);
    if (label) label->setBuddy(edit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &d);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
    for (QAbstractButton* b : buttons->buttons())
        if (auto* pb = qobject_cast<QPushButton*>(b)) pb->setAutoDefault(false);
    if (layout.clientW > 0 && layout.clientH > 0) {
        // The edit as the template has it, below the label; the buttons under it.
        const Rect e = layout.edit;
        const int lineH = label ? label->sizeHint().height() : 0;
        const int top = e.y + (label ? lineH + 2 : 0);
        if (label) label->setGeometry(e.x, e.y, e.w, lineH);
        edit->setGeometry(e.x, top, e.w, e.h);
        const QSize bs = buttons->sizeHint();
        buttons->setGeometry(e.x + e.w - bs.width(), top + e.h + e.y, bs.width(), bs.height());
        d.setFixedSize(std::max(layout.clientW, e.x + bs.width()), top + e.h + 2 * e.y + bs.height());
    } else {
        auto* lay = new QVBoxLayout(&d);
        if (label) lay->addWidget(label);
        lay->addWidget(edit);
        lay->addWidget(buttons);
    }
    QObject::connect(edit, &QLineEdit::returnPressed, &d, &QDialog::accept);
    if (d.exec() != QDialog::Accepted) return std::nullopt;
    return S(edit->text());
}

// ---- controls -----------------------------------------------------------------

void QtHost::ShowControl(int id, bool bShow) {
    if (QWidget* w = Widget(id)) w->setVisible(bShow);
}

bool QtHost::IsControlVisible(int id) const {
    QWidget* w = Widget(id);
    return w && m_dlg && w->isVisibleTo(m_dlg);
}

void QtHost::EnableControl(int id, bool bEnable) {
    QWidget* w = Widget(id);
    if (!w || w->testAttribute(Qt::WA_Disabled) != bEnable) return;  // its own state, whatever its parent's
    w->setEnabled(bEnable);
    if (!qobject_cast<QPushButton*>(w)) OrderTabsSoon();  // the keys follow what can be used
}

bool QtHost::IsControlEnabled(int id) const {
    QWidget* w = Widget(id);
    return w && w->isEnabled();
}

void QtHost::SetControlText(int id, std::string_view text) {
    const Ctl* c = Find(id);
    if (!c) return;
    const QString t = Q(text);
    if (auto* e = qobject_cast<QLineEdit*>(c->w)) {
        e->setText(t);  // the validator limits typing only
        FitTextOf(e);
    } else if (auto* m = qobject_cast<QPlainTextEdit*>(c->w)) {
        // The read-only receive text keeps the console's line ends ("\r\n").
        std::string& shadow = m_multiText[id];
        if (shadow != text) {
            shadow = std::string(text);
            QString shown = t;
            shown.remove(QLatin1Char('\r'));
            // Replacing the text puts the view back at the top; a view that
            // showed the newest line keeps showing it.
            QScrollBar* bar = m->verticalScrollBar();
            const bool atEnd = bar->value() >= bar->maximum();
            m->setPlainText(shown);
            if (atEnd) ScrollToEnd(id);
        }
    } else if (auto* b = qobject_cast<QAbstractButton*>(c->w)) {
        if (Caption(b->text()) != t) {
            b->setText(t);
            FitTextOf(b);
            OrderTabsSoon();  // its shortcut key again
        }
    } else if (auto* l = qobject_cast<QLabel*>(c->w)) {
        if (!l->buddy()) {
            l->setText(t);
        } else if (Caption(l->text()) != t) {
            l->setText(t);
            OrderTabsSoon();
        }
    } else if (auto* g = qobject_cast<QGroupBox*>(c->w)) {
        g->setTitle(t);
    }
}

std::string QtHost::GetControlText(int id) const {
    const Ctl* c = Find(id);
    if (!c) return {};
    if (auto* e = qobject_cast<QLineEdit*>(c->w)) return S(e->text());
    if (qobject_cast<QPlainTextEdit*>(c->w)) {
        auto it = m_multiText.find(id);
        return it == m_multiText.end() ? std::string() : it->second;
    }
    if (auto* b = qobject_cast<QAbstractButton*>(c->w)) return S(Caption(b->text()));
    if (auto* l = qobject_cast<QLabel*>(c->w)) return S(l->buddy() ? Caption(l->text()) : l->text());
    if (auto* g = qobject_cast<QGroupBox*>(c->w)) return S(g->title());
    return {};
}

void QtHost::SetCheck(int id, int nCheck) {
    const Ctl* c = Find(id);
    if (!c) return;
    auto* b = qobject_cast<QAbstractButton*>(c->w);
    if (!b || !b->isCheckable()) return;
    // Code may set any state, also none or two radios of a group.
    QButtonGroup* g = b->group();
    const bool ex = g && g->exclusive();
    if (g) g->setExclusive(false);
    b->setChecked(nCheck != 0);
    if (g) g->setExclusive(ex);
}

int QtHost::GetCheck(int id) const {
    const Ctl* c = Find(id);
    auto* b = c ? qobject_cast<QAbstractButton*>(c->w) : nullptr;
    return b && b->isChecked() ? 1 : 0;
}

void QtHost::MoveControl(int id, Rect r) {
    if (QWidget* w = Widget(id)) {
        m_rects[id] = r;
        w->setGeometry(ToQ(r));
        FitTextOf(w);
        w->update();
        // Once the page is laid out, the keyboard goes through it in order.
        OrderTabsSoon();
    }
}

void QtHost::OrderTabsSoon() {
    if (m_tabOrderDue) return;
    m_tabOrderDue = true;
    QMetaObject::invokeMethod(this, [this] { OrderTabs(); }, Qt::QueuedConnection);
}

void QtHost::SetBuddy(int labelId, int fieldId) {
    auto* l = qobject_cast<QLabel*>(Widget(labelId));
    QWidget* field = Widget(fieldId);
    if (!l || !field) return;
    const QString caption = Caption(l->text());
    l->setBuddy(field);
    l->setText(QString(caption).replace(QLatin1Char('&'), QStringLiteral("&&")));
    OrderTabsSoon();
}

Rect QtHost::GetControlRect(int id) const {
    if (!Widget(id)) return {};
    auto it = m_rects.find(id);
    return it == m_rects.end() ? Rect{} : it->second;
}


void QtHost::FitTextOf(QWidget* w) {
    // A read-only field, a check box's or a radio's caption shows whole, in a
    // smaller font where it must (down to 8 pixels).
    QString text;
    int room = 0;
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        if (!e->isReadOnly()) return;
        text = e->text();
        room = e->width() - 8;  // the frame and the edit's own margins
    } else if (auto* b = qobject_cast<QAbstractButton*>(w); b && b->isCheckable()) {
        QStyleOptionButton opt;
        opt.initFrom(b);
        const bool radio = qobject_cast<QRadioButton*>(b) != nullptr;
        text = Caption(b->text());  // the shortcut mark takes no room
        room = b->style()->subElementRect(radio ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents,
                                          &opt, b).width();
    } else {
        return;
    }
    QFont f = m_font;
    for (int px = f.pixelSize(); px > 8 && QFontMetrics(f).horizontalAdvance(text) > room; --px) f.setPixelSize(px - 1);
    if (w->font() != f) w->setFont(f);
    if (auto* e = qobject_cast<QLineEdit*>(w)) e->setCursorPosition(0);
}

void QtHost::OrderTabs() {
    m_tabOrderDue = false;
    if (!m_dlg) return;
    // The page tabs, then the fields a row at a time, then the buttons, then
    // the receive text, EXIT last.
    auto rank = [](CtlKind k) {
        switch (k) {
        case CtlKind::Tab: return 0;
        case CtlKind::Edit:
        case CtlKind::CheckBox:
        case CtlKind::Radio: return 1;
        case CtlKind::PushButton: return 2;
        case CtlKind::EditMulti: return 3;
        default: return -1;
        }
    };
    struct Item {
        int rank, y, x, id;
        QWidget* w;
    };
    std::vector<Item> items;
    for (const auto& [id, c] : m_ctls) {
        const int r = id == 2 ? 4 : rank(c.kind);
        if (r < 0) continue;
        const Rect g = m_rects.count(id) ? m_rects.at(id) : Rect{};
        items.push_back({r, g.y, g.x, id, c.w});
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return std::tie(a.rank, a.y, a.x, a.id) < std::tie(b.rank, b.y, b.x, b.id);
    });
    for (std::size_t i = 1; i < items.size(); ++i) QWidget::setTabOrder(items[i - 1].w, items[i].w);
    AssignMnemonics();
}

namespace {

// Where a caption takes its shortcut key: a character none in `used` has.  A
// caption ending in a number offers its digits first, the last first (Com10
// takes 0, Box 2 takes 2); then each character in turn.  -1 when none is free.
qsizetype KeyIndex(const QString& caption, const QString& used) {
    auto free = [&](qsizetype i) {
        const QChar c = caption[i].toUpper();
        return c.isLetterOrNumber() && !used.contains(c);
    };
    for (qsizetype i = caption.size(); i > 0 && caption[i - 1].isDigit(); --i)
        if (free(i - 1)) return i - 1;
    for (qsizetype i = 0; i < caption.size(); ++i)
        if (free(i)) return i;
    return -1;
}

}  // namespace

void QtHost::AssignMnemonics() {
    // Each control shown that takes a shortcut key gets Alt and a character
    // of its caption no control shown before it has: the push buttons first,
    // then the texts that name a field, then the radios and check boxes, each
    // kind in the keyboard's order.  The buttons keep their keys while they
    // are disabled, so that they do not move; a text whose field cannot be
    // typed in, a radio or a box that cannot be used has none (the STATUS
    // page's boxes only show).  A caption with no character free goes without.
    // The page tabs take none: Ctrl+Tab and Ctrl+PgUp/PgDn go through them,
    // and their letters would be the buttons' letters.
    struct Item {
        int kind;
        Rect r;
        QWidget* w;
        bool usable;
    };
    std::vector<Item> shown;
    for (const auto& [id, c] : m_ctls) {
        if (!c.w->isVisibleTo(m_dlg)) continue;
        int kind = -1;
        bool usable = c.w->isEnabled();
        if (qobject_cast<QPushButton*>(c.w)) {
            kind = 0;
            usable = true;
        } else if (auto* l = qobject_cast<QLabel*>(c.w); l && l->buddy()) {
            kind = 1;
            usable = l->buddy()->isEnabled();
        } else if (qobject_cast<QRadioButton*>(c.w) || qobject_cast<QCheckBox*>(c.w)) {
            kind = 2;
        }
        if (kind >= 0) shown.push_back({kind, m_rects.count(id) ? m_rects.at(id) : Rect{}, c.w, usable});
    }
    std::sort(shown.begin(), shown.end(), [](const Item& a, const Item& b) {
        return std::tie(a.kind, a.r.y, a.r.x) < std::tie(b.kind, b.r.y, b.r.x);
    });
    QString used;
    for (const Item& it : shown) {
        auto* b = qobject_cast<QAbstractButton*>(it.w);
        auto* l = qobject_cast<QLabel*>(it.w);
        const QString now = b ? b->text() : l->text();
        const QString caption = Caption(now);
        const qsizetype key = it.usable ? KeyIndex(caption, used) : -1;
        if (key >= 0) used += caption[key].toUpper();
        QString marked;
        for (qsizetype i = 0; i < caption.size(); ++i) {
            if (i == key) marked += QLatin1Char('&');
            if (caption[i] == QLatin1Char('&')) marked += QLatin1Char('&');
            marked += caption[i];
        }
        if (now == marked) continue;
        if (b) b->setText(marked);
        else l->setText(marked);
    }
}

QString QtHost::Caption(const QString& shown) {
    QString out;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        if (shown[i] == QLatin1Char('&') && i + 1 < shown.size()) ++i;
        out += shown[i];
    }
    return out;
}

void QtHost::StepTab(int delta) {
    auto* t = qobject_cast<QTabWidget*>(Widget(1000));
    if (!t || t->count() == 0) return;
    t->setCurrentIndex((t->currentIndex() + delta + t->count()) % t->count());
}

void QtHost::SetExchangeLine(ExchangeLine* line) {
    m_exchange = line;
    if (line) line->SetOnChange([this] { RefreshExchange(); });
}

void QtHost::RefreshExchange() {
    if (!m_exchange || !m_exchangeLabel) return;
    const QString line = Q(m_exchange->Line());
    if (m_exchangeLabel->text() != line) m_exchangeLabel->setText(line);
    const QString reason = Q(m_exchange->Reason());
    if (m_reasonLabel) {
        if (m_reasonLabel->text() != reason) {
            m_reasonLabel->setText(reason);
            m_reasonLabel->setToolTip(reason);
        }
        // Both lines while nothing is under way, the second beneath the exchange.
        const QRect both(m_exchangeLabel->x(), m_exchangeLabel->y(), m_exchangeLabel->width(),
                         2 * m_exchangeLabel->height());
        const QRect want = line.isEmpty() ? both : both.adjusted(0, m_exchangeLabel->height(), 0, 0);
        if (m_reasonLabel->geometry() != want) m_reasonLabel->setGeometry(want);
    }
    if (m_exchange->Counting() != m_exchangeTick->isActive()) {
        if (m_exchange->Counting()) m_exchangeTick->start();
        else m_exchangeTick->stop();
    }
}

void QtHost::SetToolTip(int id, std::string_view text) {
    if (QWidget* w = Widget(id)) w->setToolTip(Q(text));
}

void QtHost::SetProgressRange(int id, int nLow, int nHigh) {
    if (auto* p = qobject_cast<QProgressBar*>(Widget(id))) p->setRange(nLow, nHigh);
}

void QtHost::SetProgressPos(int id, int nPos) {
    if (auto* p = qobject_cast<QProgressBar*>(Widget(id))) p->setValue(nPos);
}

int QtHost::GetProgressPos(int id) const {
    auto* p = qobject_cast<QProgressBar*>(Widget(id));
    return p ? p->value() : 0;
}

void QtHost::ScrollToEnd(int id) {
    if (auto* m = qobject_cast<QPlainTextEdit*>(Widget(id))) {
        m->moveCursor(QTextCursor::End);
        m->ensureCursorVisible();
        m->verticalScrollBar()->setValue(m->verticalScrollBar()->maximum());
    }
}

void QtHost::InsertTab(int id, int nIndex, std::string_view text) {
    if (auto* t = qobject_cast<QTabWidget*>(Widget(id))) {
        const QSignalBlocker block(t);  // inserting the first tab selects it: no page switch
        t->insertTab(nIndex, new QWidget(t), Q(text));
    }
}

void QtHost::SelectTabForTest(int nIndex) {
    if (auto* t = qobject_cast<QTabWidget*>(Widget(1000))) t->setCurrentIndex(nIndex);
}

int QtHost::GetCurSel(int id) const {
    auto* t = qobject_cast<QTabWidget*>(Widget(id));
    return t ? t->currentIndex() : -1;
}

}  // namespace fw

#include "framework/qt/FrameToolWindow.h"

#include "commands/Catalogue.h"
#include "commands/CommandType.h"
#include "console/AnswerText.h"
#include "framework/qt/FixedFont.h"

#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

namespace fw {

namespace {

constexpr int kBodyRole = Qt::UserRole;

QString Hex(std::span<const std::uint8_t> bytes) {
    QString s;
    s.reserve(static_cast<qsizetype>(bytes.size() * 3));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += QLatin1Char(' ');
        s += QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    }
    return s;
}

// Hex bytes as typed: pairs, blanks between them or not.
std::optional<std::vector<std::uint8_t>> ParseHex(const QString& text, QString* why) {
    std::vector<std::uint8_t> out;
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& w : words) {
        if (w.size() % 2 != 0) {
            *why = QStringLiteral("'%1' is not whole hex bytes (two digits each)").arg(w);
            return std::nullopt;
        }
        for (qsizetype i = 0; i < w.size(); i += 2) {
            bool ok = false;
            const uint v = w.mid(i, 2).toUInt(&ok, 16);
            if (!ok) {
                *why = QStringLiteral("'%1' is not a hex byte").arg(w.mid(i, 2));
                return std::nullopt;
            }
            out.push_back(static_cast<std::uint8_t>(v));
        }
    }
    return out;
}

struct ValueLayout {  // how many values, their captions, what they start as
    int count;
    std::array<const char*, 4> labels;
    std::array<const char*, 4> defaults;
};

ValueLayout LayoutOf(HandValues v) {
    switch (v) {
    case HandValues::Counts: return {4, {"Box 1", "Box 2", "Box 3", "Box 4"}, {"1", "0", "0", "0"}};
    case HandValues::HexBytes: return {4, {"Byte 1", "Byte 2", "Byte 3", "Byte 4"}, {"00", "00", "00", "00"}};
    case HandValues::Order: return {4, {"1st", "2nd", "3rd", "4th"}, {"1", "2", "3", "4"}};
    case HandValues::Box: return {1, {"Box", "", "", ""}, {"1", "", "", ""}};
    case HandValues::OptionalBox: return {1, {"Box (empty: none)", "", "", ""}, {"", "", "", ""}};
    case HandValues::Sum: return {1, {"Sum (hex)", "", "", ""}, {"0000", "", "", ""}};
    case HandValues::None:
    case HandValues::NotByHand: break;
    }
    return {0, {"", "", "", ""}, {"", "", "", ""}};
}

QString NameOf(std::span<const std::uint8_t> body) {
    const std::string_view n = CommandName(TypeOfBody(body));
    return n.empty() ? QStringLiteral("host frame") : QString::fromUtf8(n.data(), static_cast<qsizetype>(n.size()));
}

}  // namespace

FrameToolWindow::FrameToolWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Frame tool"));
    setObjectName(QStringLiteral("FrameTool"));
    const QFont fixed = FixedWidthFont();

    m_command = new QComboBox(this);
    m_command->addItem(QStringLiteral("Body typed in hex"), 0);
    for (int t = cmd::kFirstType; t <= cmd::kLastType; ++t) {
        if (HandValuesOf(t) == HandValues::NotByHand) continue;
        const std::string_view n = CommandName(t);
        m_command->addItem(QString::fromUtf8(n.data(), static_cast<qsizetype>(n.size())), t);
    }
    auto* values = new QGridLayout;
    for (std::size_t i = 0; i < 4; ++i) {
        m_valueLabels[i] = new QLabel(this);
        m_values[i] = new QLineEdit(this);
        m_values[i]->setMaxLength(8);
        values->addWidget(m_valueLabels[i], 0, static_cast<int>(i));
        values->addWidget(m_values[i], 1, static_cast<int>(i));
        connect(m_values[i], &QLineEdit::textChanged, this, [this] { Rebuild(); });
    }
    m_bodyEdit = new QLineEdit(this);
    m_bodyEdit->setFont(fixed);
    m_bodyEdit->setPlaceholderText(QStringLiteral("code and parameters in hex, e.g. 50"));
    m_frame = new QLineEdit(this);
    m_frame->setReadOnly(true);
    m_frame->setFont(fixed);
    m_problem = new QLabel(this);
    m_problem->setTextFormat(Qt::PlainText);
    m_problem->setWordWrap(true);
    QPalette warn = m_problem->palette();
    warn.setColor(QPalette::WindowText, QColor(0x9a, 0x1b, 0x12));
    m_problem->setPalette(warn);
    m_send = new QPushButton(QStringLiteral("Send"), this);
    m_status = new QLabel(this);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_answerBytes = new QLineEdit(this);
    m_answerBytes->setReadOnly(true);
    m_answerBytes->setFont(fixed);
    m_answerFields = new QLineEdit(this);
    m_answerFields->setReadOnly(true);
    m_answerFields->setFont(fixed);
    m_history = new QListWidget(this);
    m_history->setFont(fixed);
    m_again = new QPushButton(QStringLiteral("Send again"), this);
    m_saveHistory = new QPushButton(QStringLiteral("Save history..."), this);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Command:"), m_command);
    form->addRow(QStringLiteral("Values:"), values);
    form->addRow(QStringLiteral("Body (hex):"), m_bodyEdit);
    form->addRow(QStringLiteral("Frame:"), m_frame);
    form->addRow(QString(), m_problem);
    auto* sendRow = new QHBoxLayout;
    sendRow->addWidget(m_send);
    sendRow->addWidget(m_status, 1);
    form->addRow(QString(), sendRow);
    form->addRow(QStringLiteral("Answer:"), m_answerBytes);
    form->addRow(QStringLiteral("Decoded:"), m_answerFields);
    auto* historyButtons = new QHBoxLayout;
    historyButtons->addWidget(m_again);
    historyButtons->addWidget(m_saveHistory);
    historyButtons->addStretch(1);
    auto* lay = new QVBoxLayout(this);
    lay->addLayout(form);
    lay->addWidget(new QLabel(QStringLiteral("Frames sent:"), this));
    lay->addWidget(m_history, 1);
    lay->addLayout(historyButtons);

    connect(m_command, &QComboBox::currentIndexChanged, this, [this] { CommandChanged(); });
    connect(m_bodyEdit, &QLineEdit::textChanged, this, [this] {
        if (!m_building) Rebuild();
    });
    connect(m_send, &QPushButton::clicked, this, [this] { Send(); });
    connect(m_again, &QPushButton::clicked, this, [this] { SendAgain(m_history->currentRow()); });
    connect(m_history, &QListWidget::itemDoubleClicked, this, [this] { SendAgain(m_history->currentRow()); });
    connect(m_saveHistory, &QPushButton::clicked, this, [this] { SaveHistory(); });

    resize(620, 460);
    CommandChanged();
}

FrameToolWindow::~FrameToolWindow() { SetLink(nullptr); }

void FrameToolWindow::SetLink(HandFrameLink* link) {
    if (m_link == link) return;
    if (m_link) m_link->Unlisten(this);
    m_link = link;
    if (m_link && !m_link->Listen(this)) m_status->setText(QStringLiteral("The console takes no more listeners: answers are not shown."));
    m_pending = false;
    Rebuild();
}

void FrameToolWindow::SelectCommand(int nType) {
    const int i = m_command->findData(nType);
    if (i >= 0) m_command->setCurrentIndex(i);
}

void FrameToolWindow::CommandChanged() {
    const int nType = m_command->currentData().toInt();
    const ValueLayout v = LayoutOf(nType == 0 ? HandValues::None : HandValuesOf(nType));
    m_building = true;
    for (std::size_t i = 0; i < 4; ++i) {
        const bool used = static_cast<int>(i) < v.count;
        m_valueLabels[i]->setText(QString::fromLatin1(v.labels[i]));
        m_valueLabels[i]->setVisible(used);
        m_values[i]->setVisible(used);
        m_values[i]->setText(QString::fromLatin1(v.defaults[i]));
    }
    // A catalogue command's body shows in the hex field, where it can be
    // taken further once "Body typed in hex" is chosen.
    m_bodyEdit->setReadOnly(nType != 0);
    m_building = false;
    Rebuild();
}

void FrameToolWindow::Rebuild() {
    if (m_building) return;
    const int nType = m_command->currentData().toInt();
    QString why;
    std::optional<std::vector<std::uint8_t>> body;
    if (nType == 0) {
        body = ParseHex(m_bodyEdit->text(), &why);
    } else {
        std::vector<std::string> values;
        for (QLineEdit* e : m_values) values.push_back(e->text().toStdString());
        std::vector<std::uint8_t> b;
        std::string reason;
        if (BuildHandBody(nType, values, b, &reason)) {
            body = std::move(b);
            m_building = true;
            m_bodyEdit->setText(Hex(*body));
            m_building = false;
        } else {
            why = QString::fromStdString(reason);
        }
    }
    if (body) {
        const std::string problem = HandBodyProblem(*body);
        if (!problem.empty()) {
            why = QString::fromStdString(problem);
            body.reset();
        }
    }
    if (body && !m_link) why = QStringLiteral("no console to send through");
    m_body = m_link ? body : std::nullopt;
    m_frame->setText(m_body ? Hex(m_link->FrameOf(*m_body)) : QString());
    m_problem->setText(why);
    m_problem->setVisible(!why.isEmpty());
    m_send->setEnabled(m_body.has_value());
    m_again->setEnabled(m_link != nullptr && m_history->count() > 0);
    m_saveHistory->setEnabled(m_history->count() > 0);
}

bool FrameToolWindow::Send() {
    if (!m_body) return false;
    return SendBody(*m_body);
}

bool FrameToolWindow::SendAgain(int i) {
    if (i < 0 || i >= m_history->count()) return false;
    const QByteArray b = m_history->item(i)->data(kBodyRole).toByteArray();
    return SendBody(std::vector<std::uint8_t>(b.begin(), b.end()));
}

bool FrameToolWindow::SendBody(const std::vector<std::uint8_t>& body) {
    if (!m_link) return false;
    const std::vector<std::uint8_t> frame = m_link->FrameOf(body);
    const HandFrameLink::Result r = m_link->Send(body);
    if (!r.sent) {
        // A frame sent before still waits for its answer.
        m_status->setText(QStringLiteral("Not sent: %1").arg(QString::fromStdString(r.reason)));
        return false;
    }
    m_pending = true;
    m_answerBytes->clear();
    m_answerFields->clear();
    m_status->setText(r.reason.empty() ? QStringLiteral("Sent %1, waiting for the answer").arg(NameOf(body))
                                       : QStringLiteral("Sent: %1").arg(QString::fromStdString(r.reason)));
    auto* item = new QListWidgetItem(
        QStringLiteral("%1  %2  | %3").arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz")),
                                           Hex(frame), NameOf(body)));
    item->setData(kBodyRole, QByteArray(reinterpret_cast<const char*>(body.data()), static_cast<qsizetype>(body.size())));
    m_history->addItem(item);
    m_history->setCurrentItem(item);
    Rebuild();
    return true;
}

void FrameToolWindow::Answered(const ev::Answer& a) {
    if (!m_pending) return;
    m_answerBytes->setText(Hex(a.frame));
    QString fields = QString::fromStdString(AnswerSummary(a));
    if (a.error >= 0) fields += QStringLiteral(", device error %1").arg(a.error, 2, 16, QLatin1Char('0'));
    if (!a.complete) fields += QStringLiteral(", incomplete");
    if (!a.awaited) fields += QStringLiteral(" (not the awaited answer)");
    m_answerFields->setText(fields);
    if (a.awaited) {
        m_pending = false;
        m_status->setText(QStringLiteral("Answered"));
    }
}

void FrameToolWindow::Link(ev::LinkEvent e, int, std::string_view) {
    if (!m_pending) return;
    if (e == ev::LinkEvent::AckTimeout) {
        m_pending = false;
        m_status->setText(QStringLiteral("No ACK after %1 resends: given up").arg(3));
    } else if (e == ev::LinkEvent::ResponseTimeout) {
        m_pending = false;
        m_status->setText(QStringLiteral("No answer in time: given up"));
    }
}

bool FrameToolWindow::SaveHistoryTo(const QString& path, QString* error) const {
    QByteArray bytes;
    for (int i = 0; i < m_history->count(); ++i) {
        bytes += m_history->item(i)->text().toUtf8();
        bytes += '\n';
    }
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        if (error) *error = QStringLiteral("Cannot save %1: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}

void FrameToolWindow::SaveHistory() {
    const QString path = m_askPath ? m_askPath()
                                   : QFileDialog::getSaveFileName(this, QStringLiteral("Save frames sent"),
                                                                  QStringLiteral("frames.txt"),
                                                                  QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty()) return;
    QString error;
    if (!SaveHistoryTo(path, &error)) QMessageBox::warning(this, windowTitle(), error);
}

}  // namespace fw

// The frame tool: any host frame by hand.  A command of the catalogue with
// its values (the pages' ranges; a bad value is refused in words), or a
// frame's body typed in hex; the whole frame, head, ETX and BCC as the link
// makes them, shown before it goes.  Send presses it through the console's
// link like a button (busy rule, ACK, resends, time-outs, counting); the
// answer shows in hex beside its decoded fields.  Frames sent are kept in a
// history that can be sent again and saved to a file.  Non-modal, beside the
// console; it hears the console's events while a link is set.
#pragma once

#include "console/ConsoleEvents.h"
#include "console/HandFrameLink.h"

#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace fw {

class FrameToolWindow final : public QWidget, public ev::ConsoleObserver {
    Q_OBJECT
public:
    explicit FrameToolWindow(QWidget* parent);
    ~FrameToolWindow() override;

    // The console to send through (none: nothing is sent).  Set to none
    // before the console goes.
    void SetLink(HandFrameLink* link);

    // Picks command type nType of the catalogue (0: the body typed in hex).
    void SelectCommand(int nType);
    // The body the fields make now, or none (the reason is shown).
    std::optional<std::vector<std::uint8_t>> Body() const { return m_body; }
    // Sends the body shown; false when it was not sent (the reason is shown).
    bool Send();
    // Sends history entry i again.
    bool SendAgain(int i);
    // Writes the history to path; false with the reason in *error.
    bool SaveHistoryTo(const QString& path, QString* error) const;
    void SetHistoryPathAsker(std::function<QString()> ask) { m_askPath = std::move(ask); }

    QComboBox* CommandBox() const { return m_command; }
    QLineEdit* ValueEdit(int i) const { return m_values[static_cast<std::size_t>(i)]; }
    QLineEdit* BodyEdit() const { return m_bodyEdit; }
    QLineEdit* FrameView() const { return m_frame; }
    QLabel* Problem() const { return m_problem; }
    QPushButton* SendButton() const { return m_send; }
    QLabel* Status() const { return m_status; }
    QLineEdit* AnswerBytes() const { return m_answerBytes; }
    QLineEdit* AnswerFields() const { return m_answerFields; }
    QListWidget* History() const { return m_history; }

    // ---- ev::ConsoleObserver ----------------------------------------------------------------------------------------
    void Answered(const ev::Answer& answer) override;
    void Link(ev::LinkEvent e, int nPort, std::string_view detail) override;

private:
    void CommandChanged();
    void Rebuild();
    bool SendBody(const std::vector<std::uint8_t>& body);
    void SaveHistory();

    HandFrameLink* m_link = nullptr;
    QComboBox* m_command;
    std::array<QLabel*, 4> m_valueLabels{};
    std::array<QLineEdit*, 4> m_values{};
    QLineEdit* m_bodyEdit;
    QLineEdit* m_frame;
    QLabel* m_problem;
    QPushButton* m_send;
    QLabel* m_status;
    QLineEdit* m_answerBytes;
    QLineEdit* m_answerFields;
    QListWidget* m_history;
    QPushButton* m_again;
    QPushButton* m_saveHistory;
    std::optional<std::vector<std::uint8_t>> m_body;
    bool m_pending = false;  // a frame sent here waits for its answer
    bool m_building = false;
    std::function<QString()> m_askPath;
};

}  // namespace fw

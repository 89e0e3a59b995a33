#pragma once

#include <QComboBox>

namespace velomire {

// A drop-down list that acts only on an explicit pick from its open list.
//
// QComboBox picks on its own: the wheel and the arrow keys over the closed box, typing the
// start of an entry, and, when editable, Return and losing the focus (matched without case,
// rewriting the text). Here none of that picks anything: Picked comes only from a click on
// an entry of the open list or Return on its highlighted entry, and typed text stays as
// typed. Return in the edit field of an editable list is reported as ReturnPressed.
class PickList final : public QComboBox {
    Q_OBJECT
public:
    explicit PickList(QWidget* parent = nullptr);

    // Call once the list's editable state is final (after the form is set up).
    void Configure();
    // What the box showed when its list was last opened (before a pick replaced it).
    const QString& TextBeforePick() const { return textBeforePick_; }
    // Shows these entries with entry `current` chosen (-1: none), then `note`, when given,
    // as an entry nobody can pick. Rebuilt only when the entries change, and never under
    // the user's hand (an open list).
    void ShowEntries(const QStringList& entries, int current, const QString& note = {});
    void showPopup() override;
    void hidePopup() override;

Q_SIGNALS:
    void Picked(int index);
    void ReturnPressed();
    // The open list has closed, by a pick or not; a pick's Picked comes after this.
    void Closed();

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

private:
    void OnActivated(int index);

    int pendingPick_ = -1; // the entry the user just chose in the open list
    QString textBeforePick_;
};

} // namespace velomire

#include "ui/widgets/pick_list.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QTimer>
#include <QWheelEvent>

namespace velomire {

PickList::PickList(QWidget* parent) : QComboBox(parent) {
    connect(this, &QComboBox::activated, this, &PickList::OnActivated);
}

void PickList::Configure() {
    setInsertPolicy(QComboBox::NoInsert);
    if (QLineEdit* edit = lineEdit()) {
        // Inline completion rewrites the text and matches without case.
        setCompleter(nullptr);
        edit->installEventFilter(this);
    }
    // Installed after the list's own filters (made with the view), so this one sees a
    // choice before the list acts on it.
    view()->installEventFilter(this);
    view()->viewport()->installEventFilter(this);
}

void PickList::ShowEntries(const QStringList& entries, int current, const QString& note) {
    if (view()->isVisible())
        return;
    QStringList all = entries;
    if (!note.isEmpty())
        all << note;
    QStringList shown;
    for (int i = 0; i < count(); ++i)
        shown << itemText(i);
    if (shown != all) {
        clear();
        addItems(all);
        if (!note.isEmpty())
            setItemData(count() - 1, 0, Qt::UserRole - 1); // no flags: not pickable
    }
    setCurrentIndex(current);
}

void PickList::showPopup() {
    textBeforePick_ = currentText();
    QComboBox::showPopup();
}

void PickList::hidePopup() {
    QComboBox::hidePopup();
    Q_EMIT Closed();
}

bool PickList::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lineEdit()) {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                Q_EMIT ReturnPressed();
                return true;
            }
        }
        return false;
    }
    // The open list: remember what the user chooses, so that the activation that follows
    // is known to be a pick.
    int chosen = -1;
    if (event->type() == QEvent::MouseButtonRelease && watched == view()->viewport()) {
        const auto* e = static_cast<QMouseEvent*>(event);
        chosen = view()->indexAt(e->position().toPoint()).row();
    } else if ((event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) &&
               watched == view()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            chosen = view()->currentIndex().row();
    }
    if (chosen >= 0) {
        pendingPick_ = chosen;
        // A choice the list turns down (a release right after opening) must not linger.
        QTimer::singleShot(0, this, [this] { pendingPick_ = -1; });
    }
    return false;
}

bool PickList::event(QEvent* e) {
    // The text field's own undo would take Ctrl+Z and Ctrl+Y from the window (the box hands
    // it the override straight, past any filter): they are left to the window's shortcuts.
    if (e->type() == QEvent::ShortcutOverride) {
        const auto* k = static_cast<QKeyEvent*>(e);
        if (k->matches(QKeySequence::Undo) || k->matches(QKeySequence::Redo) ||
            (k->key() == Qt::Key_Y && k->modifiers() == Qt::ControlModifier)) {
            e->ignore();
            return true;
        }
    }
    return QComboBox::event(e);
}

void PickList::OnActivated(int index) {
    if (index < 0 || index != pendingPick_)
        return;
    pendingPick_ = -1;
    Q_EMIT Picked(index);
}

void PickList::keyPressEvent(QKeyEvent* e) {
    switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (isEditable()) {
            Q_EMIT ReturnPressed();
            e->accept();
            return;
        }
        break;
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        // Alt+Down opens the list; plain arrows would step the choice of a closed box.
        if (!(e->modifiers() & Qt::AltModifier)) {
            e->ignore();
            return;
        }
        break;
    case Qt::Key_Home:
    case Qt::Key_End:
        if (!isEditable()) {
            e->ignore();
            return;
        }
        break;
    default:
        // Typing over a closed list that cannot be edited would choose the first entry
        // that starts with it.
        if (!isEditable() && !e->text().isEmpty() && e->text().at(0).isPrint() &&
            e->key() != Qt::Key_Space) {
            e->ignore();
            return;
        }
        break;
    }
    QComboBox::keyPressEvent(e);
}

void PickList::wheelEvent(QWheelEvent* e) {
    // Over the closed box the wheel belongs to the window, not to the choice.
    e->ignore();
}

void PickList::focusOutEvent(QFocusEvent* e) {
    // The edit field reports the end of editing on focus out, and the list would then pick
    // the entry matching the text (without case) and rewrite the text.
    const QSignalBlocker quiet(lineEdit());
    QComboBox::focusOutEvent(e);
}

} // namespace velomire

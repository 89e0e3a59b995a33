#pragma once

#include "session/session.h"
#include "ui/widgets/message_box.h"
#include "ui/widgets/pick_list.h"

#include <QObject>

#include <functional>

namespace velomire {

// The settings box and what acts on it: a pick loads (asking first about unsaved changes),
// Save and Return save under the name typed (asking before replacing a setting), and the
// list follows the folder. The routes are the session's; this only asks and shows.
class SettingsControls final : public QObject {
    Q_OBJECT
public:
    // `inform` shows a message (the window holds start-up's until it is drawn); `done`
    // takes the focus back after a pick or a save.
    SettingsControls(PickList& box, Session& session, MessageBoxes& boxes,
                     std::function<void(const QString&)> inform, std::function<void()> done,
                     QObject* parent = nullptr);

    void FillList();
    // Loads cfg/<name>.vmc and its devices; says what went wrong, if anything.
    void Load(const QString& name);
    // The user picked an entry from the open list.
    void OnPicked();
    void OnSave();
    // With unsaved changes, asks Save / Discard / Cancel; a setting never saved is saved as
    // `newName`. True when the caller may go on.
    bool MayDiscard(const QString& newName);

private:
    // Saves under `name`; asks before replacing a setting unless `replace`. True when written.
    bool SaveAs(const QString& name, bool replace);

    PickList& box_;
    Session& session_;
    MessageBoxes& boxes_;
    std::function<void(const QString&)> inform_;
    std::function<void()> done_;
};

} // namespace velomire

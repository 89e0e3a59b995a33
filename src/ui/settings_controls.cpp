#include "ui/settings_controls.h"

#include "session/headless_runner.h"

namespace velomire {

namespace {
const QString kTitle = QStringLiteral("Velomire");
} // namespace

SettingsControls::SettingsControls(PickList& box, Session& session, MessageBoxes& boxes,
                                   std::function<void(const QString&)> inform,
                                   std::function<void()> done, QObject* parent)
    : QObject(parent), box_(box), session_(session), boxes_(boxes), inform_(std::move(inform)),
      done_(std::move(done)) {
    connect(&box_, &PickList::Picked, this, &SettingsControls::OnPicked);
    connect(&box_, &PickList::ReturnPressed, this, &SettingsControls::OnSave);
}

void SettingsControls::FillList() {
    // Filling an editable list would replace its text with the first entry.
    const QString text = box_.currentText();
    box_.clear();
    // Shown escaped: a name with a direction control would show as another name.
    for (const QString& name : session_.Store().List())
        box_.addItem(PrintableText(name), name);
    box_.setCurrentIndex(-1);
    box_.setEditText(text);
}

void SettingsControls::Load(const QString& name) {
    if (const Session::Outcome r = session_.LoadSetting(name); !r.ok) {
        inform_(r.message);
        FillList(); // it may have gone since the list was made
    }
}

void SettingsControls::OnPicked() {
    const QString picked = box_.currentText();
    const QString name = box_.currentData().isValid() ? box_.currentData().toString() : picked;
    if (!MayDiscard(box_.TextBeforePick())) {
        // The box goes back to what it showed; the setting in force stays.
        box_.setCurrentIndex(-1);
        box_.setEditText(box_.TextBeforePick());
        return;
    }
    box_.setEditText(picked);
    Load(name);
    done_();
}

bool SettingsControls::MayDiscard(const QString& newName) {
    const std::optional<Session::LeaveQuestion> q = session_.BeforeLeaving(newName);
    if (!q)
        return true;
    switch (boxes_.AskUnsaved(kTitle, q->text)) {
    case MessageBoxes::Unsaved::Cancel:
        return false;
    case MessageBoxes::Unsaved::Discard:
        return true;
    case MessageBoxes::Unsaved::Save:
        break;
    }
    return SaveAs(q->saveAs, q->replace);
}

void SettingsControls::OnSave() {
    if (SaveAs(box_.currentText(), false))
        done_();
}

bool SettingsControls::SaveAs(const QString& name, bool replace) {
    if (const auto reason = session_.SaveRefusal(name)) {
        boxes_.Inform(kTitle, *reason);
        return false;
    }
    // Anything but a setting under the name is not asked about: the save refuses it with
    // its reason.
    bool ok = replace || !session_.SettingExists(name) ||
              boxes_.AskYesNo(QStringLiteral("Warning"),
                              QStringLiteral("setting already exists,Do you want to continue ?"));
    if (ok) {
        const Session::Outcome r = session_.SaveSetting(name);
        if (!r.ok)
            boxes_.Inform(kTitle, r.message);
        ok = r.ok;
    }
    FillList();
    return ok;
}

} // namespace velomire

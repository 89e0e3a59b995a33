#include "ui/device_controls.h"

namespace velomire {

namespace {
const QString kNotAnswering = QStringLiteral("(the MIDI server is not answering)");
// List positions: output 0 "Not Enabled", 1 the virtual port, then the devices; input 0
// "Not Enabled", then the devices.
constexpr int kFirstOutputPosition = 2;
constexpr int kFirstInputPosition = 1;
} // namespace

DeviceControls::DeviceControls(PickList& output, QLabel& outputMark, PickList& input,
                               QLabel& inputMark, Session& session,
                               std::function<void(const QString&)> inform, QObject* parent)
    : QObject(parent), sides_{{output, outputMark, Session::Direction::Output},
                              {input, inputMark, Session::Direction::Input}},
      session_(session), inform_(std::move(inform)) {
    connect(&session_, &Session::DevicesChanged, this, &DeviceControls::Show);
    for (Side& side : sides_) {
        connect(&side.list, &PickList::Picked, this, [this, d = side.direction] { OnPicked(d); });
        // A list is never rebuilt while open, so what changed meanwhile shows once it
        // closes. Queued: a pick that closed it must first act on the entries the user saw.
        connect(&side.list, &PickList::Closed, this, &DeviceControls::Show, Qt::QueuedConnection);
    }
}

void DeviceControls::Show() {
    const QString note = session_.MidiAnswers() ? QString() : kNotAnswering;
    for (Side& side : sides_) {
        const Session::Direction d = side.direction;
        QStringList entries{kNotEnabled};
        for (const std::string& n :
             d == Session::Direction::Output ? session_.Targets() : session_.Sources())
            entries << QString::fromStdString(n);
        // The chosen device stays an entry while it is missing.
        const QString chosen = QString::fromStdString(session_.Chosen(d));
        if (!chosen.isEmpty() && !entries.contains(chosen))
            entries << chosen;
        side.list.ShowEntries(entries, chosen.isEmpty() ? 0 : int(entries.indexOf(chosen)), note);
        const Session::DeviceState s = session_.State(d);
        side.mark.setVisible(s == Session::DeviceState::Missing ||
                             s == Session::DeviceState::Failed);
    }
}

void DeviceControls::ChooseFirst() {
    // Counted on the session's lists: the shown ones may end with a note.
    Show();
    if (session_.Targets().size() + 1 > kFirstOutputPosition) {
        sides_[0].list.setCurrentIndex(kFirstOutputPosition);
        OnPicked(Session::Direction::Output);
    }
    if (session_.Sources().size() + 1 > kFirstInputPosition) {
        sides_[1].list.setCurrentIndex(kFirstInputPosition);
        OnPicked(Session::Direction::Input);
    }
}

void DeviceControls::OnPicked(Session::Direction d) {
    const bool output = d == Session::Direction::Output;
    const PickList& list = sides_[output ? 0 : 1].list;
    const int at = list.currentIndex();
    const std::string name = at > 0 ? list.itemText(at).toStdString() : "";
    if (!(output ? session_.ChooseOutput(name) : session_.ChooseInput(name)))
        inform_(output ? QStringLiteral("Setting Midi output failed")
                       : QStringLiteral("Setting Midi input failed"));
}

} // namespace velomire

#pragma once

#include "session/session.h"
#include "ui/widgets/pick_list.h"

#include <QLabel>
#include <QObject>

#include <functional>

namespace velomire {

// The two device lists and their missing marks: they show the session's devices (a chosen
// one stays listed, marked, while it is away), and a pick chooses one.
class DeviceControls final : public QObject {
    Q_OBJECT
public:
    // `inform` says that a chosen device did not open.
    DeviceControls(PickList& output, QLabel& outputMark, PickList& input, QLabel& inputMark,
                   Session& session, std::function<void(const QString&)> inform,
                   QObject* parent = nullptr);

    void Show();
    // The first device of each list, output first, as at start-up; none where there is none.
    void ChooseFirst();
    // Acts on the entry the list shows, as on a pick.
    void OnPicked(Session::Direction d);

private:
    struct Side {
        PickList& list;
        QLabel& mark;
        Session::Direction direction;
    };
    Side sides_[2];
    Session& session_;
    std::function<void(const QString&)> inform_;
};

} // namespace velomire

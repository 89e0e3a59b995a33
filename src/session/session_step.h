#pragma once

#include "session/session.h"

#include <QUndoCommand>

#include <optional>
#include <utility>

namespace velomire {

// One undo step: the whole state before and after. A state is a few kilobytes, and keeping
// both makes every step, a settings load included, exactly reversible.
class SessionStep final : public QUndoCommand {
public:
    SessionStep(Session& session, const QString& text, SessionState before, SessionState after,
                int gesture)
        : QUndoCommand(text), session_(session), before_(std::move(before)),
          after_(std::move(after)), gesture_(gesture) {}
    // A load: the document and the devices come and go with the tables.
    SessionStep(Session& session, const QString& text, SessionState before, SessionState after,
                Session::Loaded loadedBefore, Session::Loaded loadedAfter)
        : SessionStep(session, text, std::move(before), std::move(after), 0) {
        loaded_ = {std::move(loadedBefore), std::move(loadedAfter)};
    }

    void redo() override {
        session_.Restore(after_);
        if (loaded_)
            session_.RestoreLoaded(loaded_->second);
    }
    void undo() override {
        session_.Restore(before_);
        if (loaded_)
            session_.RestoreLoaded(loaded_->first);
    }
    int id() const override { return gesture_ != 0 ? 1 : -1; }
    bool mergeWith(const QUndoCommand* other) override {
        const auto* next = static_cast<const SessionStep*>(other);
        if (next->gesture_ != gesture_)
            return false;
        after_ = next->after_;
        setObsolete(before_ == after_);
        return true;
    }

private:
    Session& session_;
    SessionState before_;
    SessionState after_;
    int gesture_;
    std::optional<std::pair<Session::Loaded, Session::Loaded>> loaded_;
};

} // namespace velomire

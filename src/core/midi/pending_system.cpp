#include "core/midi/pending_system.h"

namespace velomire {

PendingMidiSystem::PendingMidiSystem(std::future<MidiSystemChoice> reaching)
    : reaching_(std::move(reaching)) {}

PendingMidiSystem::~PendingMidiSystem() = default;

const MidiSystemChoice& PendingMidiSystem::Choice() {
    if (!reached_) {
        reached_ = true;
        if (reaching_.valid())
            choice_ = reaching_.get();
        if (!choice_.system) {
            choice_.system = std::make_unique<NoMidiSystem>();
            choice_.available = false;
        }
        reachedSystem_.store(choice_.system.get(), std::memory_order_release);
    }
    return choice_;
}

std::string PendingMidiSystem::Name() const {
    return reached_ ? choice_.system->Name() : std::string("pending");
}

} // namespace velomire

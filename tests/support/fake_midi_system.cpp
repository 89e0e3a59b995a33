#include "support/fake_midi_system.h"

#include "core/midi/realtime_engine.h"

#include <algorithm>

namespace velomire {

namespace {
bool Listed(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}
} // namespace

std::vector<std::string> FakeMidiSystem::Sources() {
    std::lock_guard lock(mutex_);
    return alive_ ? inputs : std::vector<std::string>{};
}

std::vector<std::string> FakeMidiSystem::Targets() {
    std::lock_guard lock(mutex_);
    return alive_ ? outputs : std::vector<std::string>{};
}

void FakeMidiSystem::Attach(RealtimeEngine* engine) {
    engine_.store(engine);
}

bool FakeMidiSystem::OpenInput(const std::string& source) {
    CloseInput();
    std::lock_guard lock(mutex_);
    events_.push_back({"in.open", source});
    if (!alive_ || failingDevices.count(source) || !Listed(inputs, source) || !engine_.load())
        return false;
    openInput_ = source;
    return true;
}

void FakeMidiSystem::CloseInput() {
    {
        std::lock_guard lock(mutex_);
        if (openInput_.empty())
            return;
        events_.push_back({"in.close", openInput_});
        openInput_.clear();
    }
    if (RealtimeEngine* engine = engine_.load())
        engine->InputClosed();
}

bool FakeMidiSystem::OpenOutput(const std::string& target) {
    CloseOutput();
    std::lock_guard lock(mutex_);
    events_.push_back({"out.open", target});
    if (!alive_ || failingDevices.count(target) || (target != kVirtual && !Listed(outputs, target)))
        return false;
    openOutput_ = target;
    return true;
}

bool FakeMidiSystem::CloseOutput() {
    std::lock_guard lock(mutex_);
    if (openOutput_.empty())
        return true;
    events_.push_back({"out.close", openOutput_});
    openOutput_.clear();
    return true;
}

void FakeMidiSystem::Kick() {
    if (RealtimeEngine* engine = engine_.load())
        engine->Pump(sender_);
}

bool FakeMidiSystem::Inject(std::vector<std::uint8_t> bytes) {
    RealtimeEngine* engine = engine_.load();
    {
        std::lock_guard lock(mutex_);
        if (openInput_.empty() || !engine)
            return false;
    }
    engine->Input(bytes, 0);
    engine->Pump(sender_);
    return true;
}

bool FakeMidiSystem::Sender::Send(std::span<const std::uint8_t> bytes, std::uint32_t) {
    std::lock_guard lock(s_.mutex_);
    if (!s_.openOutput_.empty())
        s_.sent_.emplace_back(bytes.begin(), bytes.end());
    return true;
}

void FakeMidiSystem::Unplug(const std::string& device) {
    std::lock_guard lock(mutex_);
    std::erase(inputs, device);
    std::erase(outputs, device);
}

std::vector<std::vector<std::uint8_t>> FakeMidiSystem::Sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}
void FakeMidiSystem::ClearSent() {
    std::lock_guard lock(mutex_);
    sent_.clear();
}
std::vector<FakeMidiSystem::Event> FakeMidiSystem::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}
void FakeMidiSystem::ClearEvents() {
    std::lock_guard lock(mutex_);
    events_.clear();
}
std::string FakeMidiSystem::OpenedInput() const {
    std::lock_guard lock(mutex_);
    return openInput_;
}
std::string FakeMidiSystem::OpenedOutput() const {
    std::lock_guard lock(mutex_);
    return openOutput_;
}

} // namespace velomire

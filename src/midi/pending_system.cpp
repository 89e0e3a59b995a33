#include "midi/pending_system.h"

namespace velomire {

namespace {

class PendingInput final : public MidiInputBackend {
public:
    explicit PendingInput(PendingMidiSystem& system) : system_(system) {}
    ~PendingInput() override { Close(); }

    std::vector<std::string> DeviceNames() override { return Real().DeviceNames(); }
    bool Open(int index, MidiInputSink* sink) override { return Real().Open(index, sink); }
    void Close() override {
        if (real_)
            real_->Close();
    }

private:
    MidiInputBackend& Real() {
        if (!real_)
            real_ = system_.Reached().CreateInput();
        return *real_;
    }

    PendingMidiSystem& system_;
    std::unique_ptr<MidiInputBackend> real_;
};

class PendingOutput final : public MidiOutputBackend {
public:
    explicit PendingOutput(PendingMidiSystem& system) : system_(system) {}
    ~PendingOutput() override { Close(); }

    std::vector<std::string> DeviceNames() override { return Real().DeviceNames(); }
    bool Open(int index) override { return Real().Open(index); }
    void Close() override {
        if (real_)
            real_->Close();
    }
    void Send(const std::uint8_t* data, std::size_t size) override {
        if (real_)
            real_->Send(data, size);
    }
    std::string VirtualPortName() override { return Real().VirtualPortName(); }
    bool SystemAlive() const override { return !real_ || real_->SystemAlive(); }

private:
    MidiOutputBackend& Real() {
        if (!real_)
            real_ = system_.Reached().CreateOutput();
        return *real_;
    }

    PendingMidiSystem& system_;
    std::unique_ptr<MidiOutputBackend> real_;
};

} // namespace

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
    }
    return choice_;
}

std::unique_ptr<MidiInputBackend> PendingMidiSystem::CreateInput() {
    return std::make_unique<PendingInput>(*this);
}

std::unique_ptr<MidiOutputBackend> PendingMidiSystem::CreateOutput() {
    return std::make_unique<PendingOutput>(*this);
}

std::string PendingMidiSystem::Name() const {
    return reached_ ? choice_.system->Name() : std::string("pending");
}

} // namespace velomire

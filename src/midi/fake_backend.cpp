#include "midi/fake_backend.h"

#include <algorithm>

namespace velomire {

class FakeInput final : public MidiInputBackend {
public:
    explicit FakeInput(FakeMidiSystem& sys) : sys_(sys) {}
    ~FakeInput() override { Close(); }

    std::vector<std::string> DeviceNames() override {
        std::lock_guard lock(sys_.mutex_);
        names_ = sys_.inputs;
        return names_;
    }
    bool Open(int index, MidiInputSink* sink) override {
        std::lock_guard lock(sys_.mutex_);
        if (index < 0 || index >= static_cast<int>(names_.size()))
            return false;
        const std::string& name = names_[static_cast<std::size_t>(index)];
        sys_.events_.push_back({"in.open", name});
        if (sys_.failingDevices.count(name) ||
            std::find(sys_.inputs.begin(), sys_.inputs.end(), name) == sys_.inputs.end())
            return false;
        sys_.openInput_ = name;
        sys_.sink_ = sink;
        open_ = true;
        return true;
    }
    void Close() override {
        std::lock_guard lock(sys_.mutex_);
        if (!open_)
            return;
        sys_.events_.push_back({"in.close", sys_.openInput_});
        sys_.sink_ = nullptr;
        sys_.openInput_.clear();
        open_ = false;
    }

private:
    FakeMidiSystem& sys_;
    std::vector<std::string> names_;
    bool open_ = false;
};

class FakeOutput final : public MidiOutputBackend {
public:
    explicit FakeOutput(FakeMidiSystem& sys) : sys_(sys) {}
    ~FakeOutput() override { Close(); }

    std::vector<std::string> DeviceNames() override {
        std::lock_guard lock(sys_.mutex_);
        names_ = sys_.outputs;
        return names_;
    }
    bool Open(int index) override {
        std::lock_guard lock(sys_.mutex_);
        std::string name;
        if (index == -1)
            name = "Velomire Out (virtual)";
        else if (index >= 0 && index < static_cast<int>(names_.size()))
            name = names_[static_cast<std::size_t>(index)];
        else
            return false;
        sys_.events_.push_back({"out.open", name});
        if (sys_.failingDevices.count(name) ||
            (index >= 0 &&
             std::find(sys_.outputs.begin(), sys_.outputs.end(), name) == sys_.outputs.end()))
            return false;
        sys_.openOutput_ = name;
        open_ = true;
        return true;
    }
    void Close() override {
        std::lock_guard lock(sys_.mutex_);
        if (!open_)
            return;
        sys_.events_.push_back({"out.close", sys_.openOutput_});
        sys_.openOutput_.clear();
        open_ = false;
    }
    void Send(const std::uint8_t* data, std::size_t size) override {
        std::lock_guard lock(sys_.mutex_);
        if (!sys_.openOutput_.empty())
            sys_.sent_.emplace_back(data, data + size);
    }
    std::string VirtualPortName() override { return "Velomire Out (virtual)"; }

private:
    FakeMidiSystem& sys_;
    std::vector<std::string> names_;
    bool open_ = false;
};

std::unique_ptr<MidiInputBackend> FakeMidiSystem::CreateInput() {
    return std::make_unique<FakeInput>(*this);
}
std::unique_ptr<MidiOutputBackend> FakeMidiSystem::CreateOutput() {
    return std::make_unique<FakeOutput>(*this);
}

bool FakeMidiSystem::Inject(std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (!sink_)
        return false;
    sink_->OnMidiBytes(bytes.data(), bytes.size());
    return true;
}

void FakeMidiSystem::Unplug(const std::string& device) {
    std::lock_guard lock(mutex_);
    std::erase(inputs, device);
    std::erase(outputs, device);
    if (openInput_ == device)
        sink_ = nullptr;
    if (openOutput_ == device)
        openOutput_.clear();
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
std::string FakeMidiSystem::OpenInput() const {
    std::lock_guard lock(mutex_);
    return openInput_;
}
std::string FakeMidiSystem::OpenOutput() const {
    std::lock_guard lock(mutex_);
    return openOutput_;
}

} // namespace velomire

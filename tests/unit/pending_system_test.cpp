#include "midi/engine.h"
#include "midi/fake_backend.h"
#include "midi/pending_system.h"
#include "midi/port_selection.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace velomire {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PendingMidiSystem, WindowIsBuiltWhileTheSystemIsReachedAndPlaysOnceItIs) {
    std::promise<MidiSystemChoice> promise;
    PendingMidiSystem pending(promise.get_future());
    auto* fake = new FakeMidiSystem;
    fake->inputs = {"Keys"};
    fake->outputs = {"Synth"};
    std::atomic<bool> reached{false};
    std::thread reaching([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        reached = true;
        MidiSystemChoice choice;
        choice.system.reset(fake);
        choice.available = true;
        promise.set_value(std::move(choice));
    });

    // Building the ports must not wait for the system; nothing is sent meanwhile.
    Engine engine(pending);
    EXPECT_FALSE(reached) << "the ports waited for the MIDI system";
    EXPECT_TRUE(engine.MIDIOutput1.SystemAlive());
    engine.MIDIOutput1.SendBytes(Bytes{0xF8}.data(), 1);

    // Listing waits for it, then everything goes to the system reached.
    EXPECT_TRUE(OpenMidiOut(engine.MIDIOutput1, kFirstOutputPosition));
    EXPECT_TRUE(OpenMidiIn(engine.MIDIInput1, kFirstInputPosition));
    reaching.join();
    EXPECT_EQ(engine.MIDIOutput1.DeviceName(0).toStdString(), "Synth");
    EXPECT_EQ(engine.MIDIInput1.DeviceName(0).toStdString(), "Keys");
    EXPECT_EQ(pending.Name(), "fake");
    EXPECT_TRUE(pending.Choice().available);

    ASSERT_TRUE(fake->Inject({0xF8}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (fake->Sent().empty() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents();
    EXPECT_EQ(fake->Sent(), (std::vector<Bytes>{{0xF8}}));
}

TEST(PendingMidiSystem, NothingReachedMeansNoDevices) {
    std::promise<MidiSystemChoice> promise;
    PendingMidiSystem pending(promise.get_future());
    Engine engine(pending);
    MidiSystemChoice none;
    none.status = "no MIDI devices";
    promise.set_value(std::move(none));

    EXPECT_FALSE(pending.Choice().available);
    EXPECT_EQ(pending.Choice().status, "no MIDI devices");
    EXPECT_EQ(engine.MIDIOutput1.DeviceCount(), 0);
    EXPECT_EQ(engine.MIDIInput1.DeviceCount(), 0);
    EXPECT_FALSE(OpenMidiIn(engine.MIDIInput1, kFirstInputPosition));
    EXPECT_EQ(pending.Name(), "none");
}

} // namespace
} // namespace velomire

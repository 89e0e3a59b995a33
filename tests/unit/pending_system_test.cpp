#include "session/session.h"
#include "support/fake_midi_system.h"
#include "core/midi/pending_system.h"
#include "support/recording_path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace velomire {
namespace {

TEST(PendingMidiSystem, WindowIsBuiltWhileTheSystemIsReachedAndPlaysOnceItIs) {
    std::promise<MidiSystemChoice> promise;
    PendingMidiSystem pending(promise.get_future());
    auto* fake = new FakeMidiSystem;
    fake->inputs = {"Keys"};
    fake->outputs = {"Synth"};
    // The system is reached only once the session is built, or after a long wait when
    // building it waited for the system (which then fails the test rather than hang it).
    std::promise<void> built;
    std::atomic<bool> reached{false};
    std::thread reaching([&] {
        built.get_future().wait_for(std::chrono::seconds(10));
        reached = true;
        MidiSystemChoice choice;
        choice.system.reset(fake);
        choice.available = true;
        promise.set_value(std::move(choice));
    });

    {
        Session session(pending);
        const PathTables t = StartupTables();
        session.Start({t.notes, t.channels});
        EXPECT_TRUE(pending.Alive());
        EXPECT_EQ(pending.Name(), "pending");
        EXPECT_FALSE(reached) << "the session waited for the MIDI system";
        built.set_value();

        // Choosing waits for it, then everything goes to the system reached.
        EXPECT_TRUE(session.ChooseOutput("Synth"));
        EXPECT_TRUE(session.ChooseInput("Keys"));
        reaching.join();
        EXPECT_EQ(pending.Name(), "fake");
        EXPECT_TRUE(pending.Choice().available);
        session.LookAtDevices();
        EXPECT_EQ(session.Sources(), std::vector<std::string>{"Keys"});
        fake->ClearSent();
        ASSERT_TRUE(fake->Inject({0xF8}));
        EXPECT_EQ(fake->Sent(), (std::vector<Bytes>{{0xF8}}));
    }
}

TEST(PendingMidiSystem, NothingReachedMeansNoDevices) {
    std::promise<MidiSystemChoice> promise;
    PendingMidiSystem pending(promise.get_future());
    Session session(pending);
    MidiSystemChoice none;
    none.status = "no MIDI devices";
    promise.set_value(std::move(none));

    EXPECT_FALSE(pending.Choice().available);
    EXPECT_EQ(pending.Choice().status, "no MIDI devices");
    session.LookAtDevices();
    EXPECT_TRUE(session.Sources().empty());
    EXPECT_FALSE(session.ChooseInput("Keys"));
    EXPECT_EQ(pending.Name(), "none");
}

} // namespace
} // namespace velomire

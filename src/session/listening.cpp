#include "session/listening.h"

#include "session/session.h"

#include <QSaveFile>

#include <cmath>

namespace velomire {

Listening::Listening(Session& session, QObject* parent) : QObject(parent), session_(session) {
    connect(&read_, &QTimer::timeout, this, &Listening::ReadAudio);
}

Listening::~Listening() {
    if (running_)
        Cancel();
}

QString Listening::OpenInput() {
    if (input_)
        return {};
    std::string error;
    input_ = JackAudioInput::Open(session_.midi(), *session_.engine_, error);
    if (!input_)
        return QString::fromStdString(error);
    idleMeter_ = std::make_unique<LoudnessMeter>(input_->SampleRate());
    read_.start(kReadEvery);
    return {};
}

void Listening::CloseInput() {
    if (running_)
        Cancel();
    read_.stop();
    idleMeter_.reset();
    input_.reset();
}

std::vector<std::string> Listening::Sources() const {
    return input_ ? input_->Sources() : std::vector<std::string>{};
}

bool Listening::Connect(const std::string& source) {
    return input_ && input_->Connect(source);
}

std::string Listening::Connected() const {
    return input_ ? input_->Connected() : std::string();
}

std::string Listening::PortName() const {
    return input_ ? input_->PortName() : std::string();
}

double Listening::InputLufs() const {
    return idleMeter_ ? idleMeter_->Momentary() : LoudnessMeter::kFloorLufs;
}

QString Listening::Refusal(const MeasuringPlan& plan) const {
    if (running_)
        return QStringLiteral("A run is already going.");
    if (!input_ || !input_->Alive())
        return QStringLiteral("The audio input is not open.");
    if (input_->Connected().empty())
        return QStringLiteral("Choose the synth's audio output to listen to.");
    if (session_.State(Session::Direction::Output) != Session::DeviceState::Open)
        return QStringLiteral("Open the synth as the MIDI output first: the run plays through it.");
    if (plan.NoteCount() == 0)
        return QStringLiteral("The run would play no note: choose keys and velocities.");
    return {};
}

QString Listening::Start(MeasuringPlan plan, std::function<int(int, int)> velocityMap) {
    if (const QString refused = Refusal(plan); !refused.isEmpty())
        return refused;
    if (velocityMap)
        plan.velocityMap = std::move(velocityMap);
    RealtimeEngine& engine = *session_.engine_;
    // What waits in the ring was heard before: the run starts on fresh audio.
    AudioChunk stale;
    while (input_->Ring().Read(stale)) {
    }
    // Waited for: once it has run, so has every strike of an earlier run, and the count the
    // onsets are found by starts from the right place.
    if (!session_.RunCommand(RealtimeEngine::Command::Listen)) {
        session_.engine_->Post(RealtimeEngine::Command::Unlisten);
        session_.midi().Kick();
        return QStringLiteral("The MIDI side does not answer; try again.");
    }
    run_ = std::make_unique<MeasuringRun>(std::move(plan), input_->SampleRate(), engine.Strikes());
    running_ = true;
    droppedBefore_ = input_->Ring().DroppedFrames();
    lastAudio_ = std::chrono::steady_clock::now();
    Q_EMIT Progress();
    if (run_->Finished())
        Finish(run_->phase() == MeasuringRun::Phase::Done, Describe(run_->failure()));
    return {};
}

void Listening::Cancel() {
    if (running_)
        Finish(false, QStringLiteral("Cancelled: %1 of %2 notes measured.")
                          .arg(run_->NotesDone())
                          .arg(run_->NotesTotal()));
}

void Listening::Interrupt(const QString& why) {
    if (running_)
        Finish(false, QStringLiteral("Stopped (%1): %2 of %3 notes measured.")
                          .arg(why)
                          .arg(run_->NotesDone())
                          .arg(run_->NotesTotal()));
}

void Listening::ReadAudio() {
    if (!input_)
        return;
    const auto now = std::chrono::steady_clock::now();
    AudioChunk chunk;
    bool heard = false;
    const int before = run_ ? run_->NotesDone() : 0;
    const auto phaseBefore = run_ ? run_->phase() : MeasuringRun::Phase::Done;
    while (input_->Ring().Read(chunk)) {
        heard = true;
        idleMeter_->Add(chunk.samples, chunk.frames);
        if (!running_)
            continue;
        actions_.clear();
        run_->Feed(chunk, actions_);
        RealtimeEngine& engine = *session_.engine_;
        for (const MeasuringRun::Action& a : actions_) {
            const std::uint8_t key = static_cast<std::uint8_t>(a.key & 0x7F);
            if (a.kind == MeasuringRun::Action::Kind::Strike) {
                const std::uint8_t bytes[2] = {key, static_cast<std::uint8_t>(a.velocity & 0x7F)};
                engine.Post(RealtimeEngine::Command::Strike, bytes);
            } else {
                const std::uint8_t bytes[1] = {key};
                engine.Post(RealtimeEngine::Command::Lift, bytes);
            }
        }
        if (!actions_.empty())
            session_.midi().Kick();
        if (run_->Finished())
            break;
    }
    if (!running_)
        return;
    if (heard)
        lastAudio_ = now;
    if (run_->Finished()) {
        const bool done = run_->phase() == MeasuringRun::Phase::Done;
        Finish(done, done ? QString() : Describe(run_->failure()));
    } else if (input_->Ring().DroppedFrames() != droppedBefore_) {
        Finish(false, QStringLiteral("Audio was lost (Velomire was too busy to take it): %1 of %2 "
                                     "notes measured; run again.")
                          .arg(run_->NotesDone())
                          .arg(run_->NotesTotal()));
    } else if (now - lastAudio_ > kStallLimit || !input_->Alive()) {
        Finish(false, QStringLiteral("No audio arrives (has the JACK server stopped?): %1 of %2 "
                                     "notes measured.")
                          .arg(run_->NotesDone())
                          .arg(run_->NotesTotal()));
    } else if (run_->NotesDone() != before || run_->phase() != phaseBefore) {
        Q_EMIT Progress();
    }
}

void Listening::Finish(bool complete, const QString& message) {
    running_ = false;
    // Note-offs for what still sounds, All Notes Off, and the player's keys back.
    session_.engine_->Post(RealtimeEngine::Command::Unlisten);
    session_.midi().Kick();
    // A run that measured nothing (a failed level check) leaves the last table as it was.
    if (run_->NotesDone() > 0)
        table_ = run_->Table();
    QString said = message;
    if (complete) {
        said = QStringLiteral("Done: %1 notes measured.").arg(run_->NotesDone());
        if (run_->ClippedNotes() > 0)
            said += QStringLiteral(" %1 reached full scale (clipping): their readings are too "
                                   "low; turn the synth down and run again.")
                        .arg(run_->ClippedNotes());
    }
    Q_EMIT Finished(complete, said);
}

QString Listening::Describe(MeasuringRun::Failure failure) const {
    const QString source = Quoted(QString::fromStdString(Connected()));
    switch (failure) {
    case MeasuringRun::Failure::Meter:
        return QStringLiteral("Loudness cannot be measured at %1 Hz.").arg(input_->SampleRate());
    case MeasuringRun::Failure::Silence:
        return QStringLiteral("Level check: nothing was heard from %1 (the test note read %2 "
                              "LUFS, the input's own noise %3 LUFS). Is it the synth's output, "
                              "and does the synth play what Velomire sends? Nothing was measured.")
            .arg(source)
            .arg(run_->ProbeLufs(), 0, 'f', 1)
            .arg(run_->NoiseLufs(), 0, 'f', 1);
    case MeasuringRun::Failure::Clipping:
        return QStringLiteral("Level check: the test note reached full scale on %1 (clipping). "
                              "Turn the synth's level down and try again. Nothing was measured.")
            .arg(source);
    case MeasuringRun::Failure::NoteNotSent:
        return QStringLiteral("A note did not leave Velomire: is the MIDI output still open?");
    case MeasuringRun::Failure::None:
        break;
    }
    return QString();
}

QString Listening::SaveTable(const QString& path) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return QStringLiteral("Cannot write %1: %2").arg(Quoted(path), file.errorString());
    const std::string text = table_.ToText();
    if (file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit())
        return QStringLiteral("Cannot write %1: %2").arg(Quoted(path), file.errorString());
    return {};
}

} // namespace velomire

// The settings library through the window: startup load, the list, save and load commands,
// device reselection and what a load changes on screen.

#include "core/settings/settings_codec.h"
#include "core/settings/settings_store.h"
#include "gui_fixture.h"

#include <QApplication>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QWheelEvent>

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace velomire::testing {
namespace {

using Event = FakeMidiSystem::Event;
using Bytes = std::vector<std::uint8_t>;

const QString kNotASetting = QStringLiteral(".vmc is not a Velomire Configuration file");
const Bytes kLocalControlOff{0xB0, 122, 0};

// A setting as the program would hold it right after startup.
SettingsData Setting(const QString& in, const QString& out, std::uint8_t active = 60) {
    SettingsData d;
    d.indevice = EncodeDeviceName(in);
    d.outdevice = EncodeDeviceName(out);
    d.activenote = active;
    for (int c = 0; c < 16; ++c)
        d.channels[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c);
    for (int n = 0; n < kStoredNotes; ++n) {
        NoteSetting& s = d.notes[static_cast<std::size_t>(n)];
        s.outnote = static_cast<std::uint8_t>(n);
        if (IsKey(n))
            SetKeyStartupValues(s, n);
    }
    return d;
}

QByteArray Raw(const SettingsData& d) {
    const SettingsBytes b = EncodeSettings(d);
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

// A device-name field holding exactly these bytes, space padded (for hand-made files).
DeviceNameField RawName(const std::string& bytes) {
    DeviceNameField f;
    f.fill(' ');
    std::copy_n(bytes.begin(), std::min(bytes.size(), f.size()), f.begin());
    return f;
}

void PutFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
}

class SettingsTest : public FormTest {
protected:
    void TearDown() override {
        FailSaveStepForTesting(SaveStep::Create, 0);
        FormTest::TearDown();
    }
    QString Cfg() const { return WorkDir() + QStringLiteral("/cfg"); }
    QString PathOf(const QString& name) const { return Cfg() + "/" + name + ".vmc"; }
    static void Put(const QString& path, const QByteArray& bytes) { PutFile(path, bytes); }
    void PutSetting(const QString& name, const SettingsData& d) { Put(PathOf(name), Raw(d)); }
    static QByteArray Get(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }
    SettingsData Saved(const QString& name) {
        const QByteArray b = Get(PathOf(name));
        const auto d = DecodeSettings({reinterpret_cast<const std::uint8_t*>(b.constData()),
                                       static_cast<std::size_t>(b.size())});
        EXPECT_TRUE(d.has_value()) << name.toStdString();
        return d.value_or(SettingsData{});
    }
    QStringList Listed() {
        QStringList names;
        for (int i = 0; i < ui().settingsList->count(); ++i)
            names << ui().settingsList->itemText(i);
        return names;
    }
    // Every file under the working directory with its contents.
    std::map<QString, QByteArray> Tree() {
        std::map<QString, QByteArray> files;
        QDirIterator it(WorkDir(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString p = it.next();
            files[p] = QFileInfo(p).isFile() ? Get(p) : QByteArray("<dir>");
        }
        return files;
    }
    // The user types into the list's field; nothing is chosen.
    void Type(const QString& name) { ui().settingsList->setEditText(name); }
    // The user picks an entry from the open list.
    void Pick(const QString& name) {
        const int i = ui().settingsList->findText(name, Qt::MatchExactly);
        ASSERT_GE(i, 0) << name.toStdString() << " not listed";
        PickFromList(ui().settingsList, i);
    }
    void Save() { ui().saveButton->click(); }
    void ChooseInput(const QString& text) {
        const int i = ui().inputList->findText(text, Qt::MatchExactly);
        ASSERT_GE(i, 0) << text.toStdString();
        form->SelectByProgram(ui().inputList, i);
    }
    void ChooseOutput(const QString& text) {
        const int i = ui().outputList->findText(text, Qt::MatchExactly);
        ASSERT_GE(i, 0) << text.toStdString();
        form->SelectByProgram(ui().outputList, i);
    }
    const NoteSetting& Note(int k) { return form->notes()[static_cast<std::size_t>(k)]; }
    bool OpenedOrClosed(const std::string& prefix) {
        for (const Event& e : midi.Events())
            if (e.what.rfind(prefix, 0) == 0)
                return true;
        return false;
    }
    int Count(const Bytes& message) {
        int n = 0;
        for (const Bytes& m : midi.Sent())
            n += m == message ? 1 : 0;
        return n;
    }
    // The window's mark of a key has this colour at its centre.
    QColor MarkAt(int key) {
        const KeyInfo& k = ui().keyboardView->Keys()[static_cast<std::size_t>(key)];
        return QColor::fromRgba(
            ui().keyboardView->Marks().pixel(static_cast<int>(k.markx), static_cast<int>(k.marky)));
    }
    static bool IsBlue(const QColor& c) {
        return c.alpha() > 200 && c.blue() > 200 && c.red() < 60 && c.green() < 60;
    }
    void ExpectBuiltInTables() {
        EXPECT_EQ(form->activenote(), 60);
        EXPECT_EQ(ui().activeNoteName->text(), QStringLiteral("C4"));
        for (int k = kLowestKey; k <= kHighestKey; ++k) {
            EXPECT_DOUBLE_EQ(Note(k).exp, 1.0) << k;
            EXPECT_EQ(Note(k).vcut, 0) << k;
            EXPECT_EQ(Note(k).vmax, 127) << k;
            EXPECT_EQ(Note(k).selected, kFalse) << k;
            EXPECT_EQ(Note(k).outnote, k) << k;
        }
        EXPECT_EQ(Note(20).vmax, 0);
        for (int c = 0; c < 16; ++c)
            EXPECT_EQ(form->session().channels()[static_cast<std::size_t>(c)], c) << c;
        EXPECT_FALSE(ui().remapToChannelOne->isChecked());
        EXPECT_EQ(ui().cutOffValue->text(), QStringLiteral("0"));
        EXPECT_EQ(ui().maximumValue->text(), QStringLiteral("127"));
    }
};

// ---- Startup ----

TEST_F(SettingsTest, StartupWithoutFolderUsesBuiltInValues) {
    Start();
    EXPECT_TRUE(Listed().isEmpty());
    EXPECT_EQ(ui().settingsList->currentText(), QStringLiteral("Default"));
    EXPECT_TRUE(boxes.shown.empty());
    ExpectBuiltInTables();
    EXPECT_EQ(ui().inputList->currentText(), QStringLiteral("Keys In"));
    EXPECT_EQ(ui().outputList->currentText(), QStringLiteral("Synth Out"));
    EXPECT_FALSE(QFileInfo::exists(Cfg())); // startup never creates the folder
}

TEST_F(SettingsTest, StartupLoadsAValidDefault) {
    midi.inputs = {"Keys In", "Piano In"};
    midi.outputs = {"Synth Out", "Expander"};
    SettingsData d = Setting(QStringLiteral("Piano In"), QStringLiteral("Expander"), 72);
    d.channels[0] = 5; // input channel 1 goes out on channel 6
    d.notes[72] = {72, kTrue, 2.5, 10, 100};
    d.notes[74].selected = kTrue;
    PutSetting(QStringLiteral("Default"), d);

    Start();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(Listed(), QStringList{QStringLiteral("Default")});
    EXPECT_EQ(ui().settingsList->currentText(), QStringLiteral("Default"));
    EXPECT_EQ(ui().inputList->currentText(), QStringLiteral("Piano In"));
    EXPECT_EQ(ui().outputList->currentText(), QStringLiteral("Expander"));
    EXPECT_EQ(midi.OpenedInput(), "Piano In");
    EXPECT_EQ(midi.OpenedOutput(), "Expander");

    EXPECT_EQ(form->activenote(), 72);
    EXPECT_EQ(ui().activeNoteName->text(), QStringLiteral("C5"));
    EXPECT_EQ(ui().exponentValue->text(), QStringLiteral("2.5"));
    EXPECT_EQ(ui().cutOffValue->text(), QStringLiteral("10"));
    EXPECT_EQ(ui().maximumValue->text(), QStringLiteral("100"));
    EXPECT_EQ(ui().cutOffBar->value(), 10);
    EXPECT_EQ(MainWindow::VmaxAt(ui().maximumBar->value()), 100);
    EXPECT_TRUE(IsBlue(MarkAt(74)));
    EXPECT_FALSE(ui().remapToChannelOne->isChecked());

    // The stored channel table and curve are what the next note goes through.
    midi.ClearSent();
    ASSERT_TRUE(midi.Inject(0x90, 72, 64));
    Pump();
    const std::vector<Bytes> sent = midi.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (Bytes{0x95, 72, MapVelocity(64, 2.5, 10, 100)}));
}

struct BrokenCase {
    const char* what;
    std::function<void(const QString& path)> make;
    const char* why; // how the message ends: the file's fault, said as the stage box says it
};

class SettingsBrokenDefault : public SettingsTest,
                              public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(SettingsBrokenDefault, IsReportedOnceAndLeftOut) {
    GetParam().make(PathOf(QStringLiteral("Default")));
    Start();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Velomire"));
    const QString& text = boxes.shown[0].text;
    EXPECT_TRUE(text.contains(QStringLiteral("Default.vmc")) &&
                text.endsWith(QLatin1String(GetParam().why)))
        << text.toStdString();
    EXPECT_FALSE(boxes.shown[0].question);
    EXPECT_TRUE(Listed().isEmpty());
    ExpectBuiltInTables();
}

QByteArray WithByte(QByteArray b, int at, char v) {
    b[at] = v;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SettingsBrokenDefault,
    ::testing::Values(
        BrokenCase{"lower_case_magic",
                   [](const QString& path) {
                       SettingsData d = Setting("Keys In", "Synth Out", 72);
                       PutFile(path, WithByte(WithByte(Raw(d), 0, 'v'), 1, 'm'));
                   },
                   "not a Velomire Configuration file: the file has no valid header."},
        BrokenCase{"version_2",
                   [](const QString& path) {
                       PutFile(path, WithByte(Raw(Setting("Keys In", "Synth Out", 72)), 4, 2));
                   },
                   "the file has no valid header."},
        BrokenCase{"one_byte_short",
                   [](const QString& path) {
                       PutFile(path, Raw(Setting("Keys In", "Synth Out", 72)).chopped(1));
                   },
                   "not a Velomire Configuration file: the file is too short."},
        BrokenCase{"header_only",
                   [](const QString& path) { PutFile(path, QByteArray("VMC1\x01", 5)); },
                   "the file is too short."},
        BrokenCase{"empty", [](const QString& path) { PutFile(path, QByteArray()); },
                   "the file is too short."},
        BrokenCase{"a_folder", [](const QString& path) { QDir().mkpath(path); },
                   "it is a folder, not a regular file."},
        BrokenCase{"a_pipe", // must not hang start-up
                   [](const QString& path) {
                       QDir().mkpath(QFileInfo(path).path());
                       ::mkfifo(QFile::encodeName(path).constData(), 0666);
                   },
                   "it is a named pipe, not a regular file."}),
    [](const auto& p) { return std::string(p.param.what); });

// entry 15 of the stored channel table decides the check box; its handler runs only when
// the box actually changes.
struct ChannelCase {
    const char* what;
    bool checkedBefore;
    std::array<std::uint8_t, 16> stored;
    bool checked;
    std::array<std::uint8_t, 16> inForce;
};

constexpr std::array<std::uint8_t, 16> kIdentity{0, 1, 2,  3,  4,  5,  6,  7,
                                                 8, 9, 10, 11, 12, 13, 14, 15};
constexpr std::array<std::uint8_t, 16> kAllFirst{};
constexpr std::array<std::uint8_t, 16> kThreesThenZero{3, 3, 3, 3, 3, 3, 3, 3,
                                                       3, 3, 3, 3, 3, 3, 3, 0};
constexpr std::array<std::uint8_t, 16> kFirstToSix{5, 1, 2,  3,  4,  5,  6,  7,
                                                   8, 9, 10, 11, 12, 13, 14, 15};
constexpr std::array<std::uint8_t, 16> kAllThree{3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};

class SettingsChannelRule : public SettingsTest,
                            public ::testing::WithParamInterface<ChannelCase> {};

TEST_P(SettingsChannelRule, RemapBoxFollowsEntry15) {
    const ChannelCase c = GetParam();
    SettingsData d = Setting("Keys In", "Synth Out");
    d.channels = c.stored;
    PutSetting(QStringLiteral("Ch"), d);
    Start();
    if (ui().remapToChannelOne->isChecked() != c.checkedBefore)
        ui().remapToChannelOne->click();
    Pick(QStringLiteral("Ch"));
    EXPECT_EQ(ui().remapToChannelOne->isChecked(), c.checked);
    for (std::size_t i = 0; i < 16; ++i)
        EXPECT_EQ(form->session().channels()[i], c.inForce[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Tables, SettingsChannelRule,
    ::testing::Values(ChannelCase{"identity", false, kIdentity, false, kIdentity},
                      ChannelCase{"all_to_first", false, kAllFirst, true, kAllFirst},
                      ChannelCase{"entry15_zero_rewrites", false, kThreesThenZero, true, kAllFirst},
                      ChannelCase{"stored_table_kept", false, kFirstToSix, false, kFirstToSix},
                      ChannelCase{"odd_table_kept", false, kAllThree, false, kAllThree},
                      ChannelCase{"unchecking_rewrites", true, kFirstToSix, false, kIdentity},
                      ChannelCase{"stays_checked", true, kThreesThenZero, true, kThreesThenZero}),
    [](const auto& p) { return std::string(p.param.what); });

// ---- The list ----

TEST_F(SettingsTest, ListShowsLoadableFilesInNameOrder) {
    const SettingsData d = Setting("Keys In", "Synth Out");
    for (const char* name : {"Zed", "Piano", "bass", "Alpha"})
        PutSetting(QString::fromLatin1(name), d);
    Put(PathOf("Broken"), WithByte(Raw(d), 0, 'X'));
    Put(PathOf("Short"), Raw(d).left(1000));
    Put(Cfg() + "/Upper.VMC", Raw(d));
    Put(Cfg() + "/readme.txt", Raw(d));
    QDir().mkpath(PathOf("Folder"));

    Start();
    EXPECT_EQ(Listed(), (QStringList{"Alpha", "bass", "Piano", "Zed"}));
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(ui().settingsList->currentText(), QStringLiteral("Default"));
}

// ---- Save ----

class SettingsSaveNew : public SettingsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SettingsSaveNew, CreatesTheFileWithoutAQuestion) {
    const QString name = QString::fromUtf8(GetParam());
    Start();
    ui().cutOffBar->setValue(25);
    Type(name);
    Save();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(QFileInfo(PathOf(name)).size(), 1814);
    EXPECT_TRUE(Listed().contains(name));
    EXPECT_EQ(ui().settingsList->currentText(), name);

    const SettingsData d = Saved(name);
    EXPECT_EQ(DecodeDeviceName(d.indevice).trimmed(), QStringLiteral("Keys In"));
    EXPECT_EQ(DecodeDeviceName(d.outdevice).trimmed(), QStringLiteral("Synth Out"));
    EXPECT_EQ(d.activenote, 60);
    EXPECT_EQ(d.notes[60].vcut, 25);
    // Every note record as the table holds it (compared raw: loading would repair exp 0).
    SettingsData table;
    std::copy_n(form->notes().begin(), kStoredNotes, table.notes.begin());
    EXPECT_EQ(Get(PathOf(name)).mid(150), Raw(table).mid(150));
}

INSTANTIATE_TEST_SUITE_P(Names, SettingsSaveNew,
                         ::testing::Values("Live", "two words", "Kl\xC3\xA4nge"));

TEST_F(SettingsTest, SaveOverExistingWithYesRewritesIt) {
    QByteArray old = Raw(Setting("Gone In", "Gone Out", 40));
    old.append(QByteArray(500, 'x')); // longer than a record: nothing of it may survive
    Put(PathOf("Piano"), old);
    Start();
    ui().cutOffBar->setValue(25);
    Type(QStringLiteral("Piano"));
    boxes.answers = {true};
    Save();

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].question);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Warning"));
    EXPECT_EQ(boxes.shown[0].text,
              QStringLiteral("setting already exists,Do you want to continue ?"));
    EXPECT_EQ(QFileInfo(PathOf("Piano")).size(), 1814);
    const SettingsData d = Saved(QStringLiteral("Piano"));
    EXPECT_EQ(d.activenote, 60);
    EXPECT_EQ(d.notes[60].vcut, 25);
    EXPECT_EQ(DecodeDeviceName(d.indevice).trimmed(), QStringLiteral("Keys In"));
    EXPECT_EQ(Listed(), QStringList{QStringLiteral("Piano")});
    // Nothing left beside it from writing.
    EXPECT_EQ(QDir(Cfg()).entryList(QDir::Files | QDir::Hidden), QStringList{"Piano.vmc"});
}

TEST_F(SettingsTest, SaveOverExistingWithNoKeepsTheFileButTakesTheDevices) {
    midi.inputs = {"Keys In", "Piano In"};
    const QByteArray old = Raw(Setting("Keys In", "Synth Out", 40));
    Put(PathOf("Piano"), old);
    Start();
    ChooseInput(QStringLiteral("Piano In"));
    ui().cutOffBar->setValue(25);
    Type(QStringLiteral("Piano"));
    Save(); // answered No
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].question);
    EXPECT_EQ(Get(PathOf("Piano")), old);
    EXPECT_EQ(Listed(), QStringList{QStringLiteral("Piano")});
    EXPECT_EQ(ui().settingsList->currentText(), QStringLiteral("Piano"));
    EXPECT_EQ(form->activenote(), 60); // nothing loaded

    // A setting that is not there says so and changes nothing, devices included.
    form->LoadSettingsFile(QStringLiteral("Nothing"));
    EXPECT_EQ(boxes.shown.back().text,
              "setting 'Nothing' not found: no file " + PathOf(QStringLiteral("Nothing")));
    EXPECT_EQ(midi.OpenedInput(), "Piano In");

    // A later Yes writes the devices chosen now.
    boxes.answers = {true};
    Save();
    EXPECT_EQ(DecodeDeviceName(Saved("Piano").indevice).trimmed(), QStringLiteral("Piano In"));
}

class SettingsUnsafeName : public SettingsTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(SettingsUnsafeName, IsRefusedBeforeAnythingIsWrittenOrLoaded) {
    const QString name = QString::fromUtf8(GetParam());
    // Targets an unchecked name could reach.
    PutSetting(QStringLiteral("Safe"), Setting("Keys In", "Synth Out", 90));
    Put(WorkDir() + "/evil.vmc", Raw(Setting("Keys In", "Synth Out", 90)));
    Start();
    const auto before = Tree();
    midi.ClearEvents();

    Type(name);
    Save();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(boxes.shown[0].question);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Velomire"));
    EXPECT_FALSE(boxes.shown[0].text.isEmpty());
    EXPECT_EQ(Tree(), before);

    form->SelectByProgram(ui().settingsList, ui().settingsList->currentIndex()); // as if chosen
    EXPECT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(form->activenote(), 60);
    EXPECT_FALSE(OpenedOrClosed("in.")) << "devices reselected for a refused name";
    EXPECT_EQ(Tree(), before);
}

INSTANTIATE_TEST_SUITE_P(Names, SettingsUnsafeName,
                         ::testing::Values("../evil", "a/b", "a\\b", "..", "x..y", "what?", "star*",
                                           "tab\tname", "bell\x07", "new\nline", "a:b", "<x>",
                                           "pipe|", "say\"hi\"", "CON", "nul", "COM1", "lpt9",
                                           "trailing ", "dot.", "", "   "));

TEST_F(SettingsTest, SaveIntoReadOnlyFolderReportsAndKeepsTheOldFile) {
    const QByteArray old = Raw(Setting("Keys In", "Synth Out", 40));
    Put(PathOf("Piano"), old);
    FailSaveStepForTesting(SaveStep::Create, EACCES); // what a read-only folder answers
    Start();
    ui().cutOffBar->setValue(25);
    Type(QStringLiteral("Piano"));
    boxes.answers = {true};
    Save();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_TRUE(boxes.shown[0].question);
    EXPECT_FALSE(boxes.shown[1].question);
    EXPECT_TRUE(boxes.shown[1].text.contains(QStringLiteral("Piano.vmc")))
        << boxes.shown[1].text.toStdString();
    EXPECT_TRUE(boxes.shown[1].text.contains(QString::fromLocal8Bit(std::strerror(EACCES))));
    EXPECT_EQ(Get(PathOf("Piano")), old);
    EXPECT_EQ(QDir(Cfg()).entryList(QDir::Files | QDir::Hidden), QStringList{"Piano.vmc"});

    Type(QStringLiteral("Fresh"));
    Save();
    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_TRUE(boxes.shown[2].text.contains(QStringLiteral("Fresh.vmc")));
    EXPECT_FALSE(QFileInfo::exists(PathOf("Fresh")));

    // The program goes on: the old setting still loads.
    Pick(QStringLiteral("Piano"));
    EXPECT_EQ(form->activenote(), 40);
}

// Fails for every user, root included: the name is taken by a folder, so there is nothing
// to ask about overwriting.
TEST_F(SettingsTest, SaveOntoAFolderReportsAndLeavesItAlone) {
    PutSetting(QStringLiteral("Other"), Setting("Keys In", "Synth Out", 40));
    Put(PathOf("Piano") + "/inside", QByteArray("keep"));
    Start();
    Type(QStringLiteral("Piano"));
    boxes.answers = {true};
    Save();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(boxes.shown[0].question);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Velomire"));
    EXPECT_TRUE(boxes.shown[0].text.contains(QStringLiteral("Piano.vmc")) &&
                boxes.shown[0].text.contains(QStringLiteral("folder")))
        << boxes.shown[0].text.toStdString();
    EXPECT_TRUE(QFileInfo(PathOf("Piano")).isDir());
    EXPECT_EQ(Get(PathOf("Piano") + "/inside"), QByteArray("keep"));
    EXPECT_EQ(QDir(Cfg()).entryList(QDir::Files | QDir::Hidden), QStringList{"Other.vmc"});
    // The program goes on.
    EXPECT_EQ(Listed(), QStringList{QStringLiteral("Other")});
    Pick(QStringLiteral("Other"));
    EXPECT_EQ(form->activenote(), 40);
}

TEST_F(SettingsTest, SaveWhereAFileBlocksTheFolderReportsTheReason) {
    Put(Cfg(), QByteArray("not a folder"));
    Start();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(Listed().isEmpty());
    Type(QStringLiteral("Live"));
    Save();
    ASSERT_EQ(boxes.shown.size(), 1u);
    const QString text = boxes.shown[0].text;
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Velomire"));
    EXPECT_TRUE(text.contains(QStringLiteral("Live.vmc"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("not a folder"))) << text.toStdString();
    EXPECT_EQ(Get(Cfg()), QByteArray("not a folder"));
    // Still running: the list was rebuilt, the text kept, and edits still work.
    EXPECT_EQ(ui().settingsList->currentText(), QStringLiteral("Live"));
    ui().cutOffBar->setValue(12);
    EXPECT_EQ(Note(60).vcut, 12);
}

// ---- Devices by name ----

struct DeviceCase {
    const char* what;
    std::vector<std::string> inputs, outputs;
    std::string storedIn, storedOut; // raw bytes of the fields
    std::string wantIn, wantOut;     // the list texts selected afterwards
    bool inFound, outFound;          // false: not there now; wanted, marked, opened later
};

class SettingsDeviceByName : public SettingsTest,
                             public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(SettingsDeviceByName, LoadReselectsByTrimmedName) {
    const DeviceCase c = GetParam();
    midi.inputs = c.inputs;
    midi.outputs = c.outputs;
    SettingsData d = Setting("", "");
    d.indevice = RawName(c.storedIn);
    d.outdevice = RawName(c.storedOut);
    PutSetting(QStringLiteral("Dev"), d);
    Start();

    Pick(QStringLiteral("Dev"));
    EXPECT_EQ(ui().inputList->currentText().toStdString(), c.wantIn);
    EXPECT_EQ(ui().outputList->currentText().toStdString(), c.wantOut);
    EXPECT_EQ(midi.OpenedInput(), c.inFound ? c.wantIn : "");
    EXPECT_EQ(midi.OpenedOutput(), c.outFound ? c.wantOut : "");
    // One that is not there is wanted all the same: marked, and opened once it appears.
    EXPECT_EQ(ui().inputMissingMark->isVisibleTo(form.get()), !c.inFound);
    EXPECT_EQ(ui().outputMissingMark->isVisibleTo(form.get()), !c.outFound);
    EXPECT_TRUE(boxes.shown.empty());
    midi.inputs.push_back(c.wantIn);
    midi.outputs.push_back(c.wantOut);
    form->session().LookAtDevices();
    EXPECT_EQ(midi.OpenedInput(), c.wantIn);
    EXPECT_EQ(midi.OpenedOutput(), c.wantOut);
}

INSTANTIATE_TEST_SUITE_P(Names, SettingsDeviceByName,
                         ::testing::Values(DeviceCase{"utf8",
                                                      {"Keys In", "Clavinova \xC3\x9C-Port"},
                                                      {"Synth Out"},
                                                      "Clavinova \xC3\x9C-Port",
                                                      "Synth Out",
                                                      "Clavinova \xC3\x9C-Port",
                                                      "Synth Out",
                                                      true,
                                                      true},
                                           DeviceCase{"windows_1252",
                                                      {"Keys In", "Clavinova \xC3\x9C-Port"},
                                                      {"Synth Out"},
                                                      "Clavinova \xDC-Port",
                                                      "Synth Out",
                                                      "Clavinova \xC3\x9C-Port",
                                                      "Synth Out",
                                                      true,
                                                      true},
                                           DeviceCase{"stored_with_spaces",
                                                      {"Keys In", "Piano In"},
                                                      {"Synth Out", "Expander"},
                                                      "   Piano In",
                                                      "Expander      ",
                                                      "Piano In",
                                                      "Expander",
                                                      true,
                                                      true},
                                           DeviceCase{"listed_with_spaces",
                                                      {"Keys In", " Piano In "},
                                                      {"Synth Out", "Expander  "},
                                                      "Piano In",
                                                      "Expander",
                                                      " Piano In ",
                                                      "Expander  ",
                                                      true,
                                                      true},
                                           DeviceCase{"case_matters",
                                                      {"Keys In", "Piano In"},
                                                      {"Synth Out", "Expander"},
                                                      "piano in",
                                                      "EXPANDER",
                                                      "piano in",
                                                      "EXPANDER",
                                                      false,
                                                      false},
                                           DeviceCase{"input_missing",
                                                      {"Keys In", "Piano In"},
                                                      {"Synth Out", "Expander"},
                                                      "Gone In",
                                                      "Expander",
                                                      "Gone In",
                                                      "Expander",
                                                      false,
                                                      true},
                                           DeviceCase{"padded_with_nul",
                                                      {"Keys In", "Piano In"},
                                                      {"Synth Out", "Expander"},
                                                      std::string("Piano In\0\0\0", 11),
                                                      "Gone Out",
                                                      "Piano In",
                                                      "Gone Out",
                                                      true,
                                                      false}),
                         [](const auto& p) { return std::string(p.param.what); });

TEST_F(SettingsTest, LongAndNonAsciiDeviceNamesRoundTrip) {
    const std::string long70(70, 'L');
    const std::string long64(64, 'L');
    const std::string umlaut = "Clavinova \xC3\x9C-Port";
    midi.inputs = {"Keys In", long70, long64};
    midi.outputs = {"Synth Out", umlaut};
    Start();
    ChooseInput(QString::fromStdString(long70));
    ChooseOutput(QString::fromStdString(umlaut));
    Type(QStringLiteral("Dev"));
    Save();
    ASSERT_TRUE(boxes.shown.empty());

    const QByteArray raw = Get(PathOf("Dev"));
    ASSERT_EQ(raw.size(), 1814);
    EXPECT_EQ(raw.mid(5, 64).toStdString(), long64); // cut to 64 bytes
    EXPECT_EQ(raw.mid(69, 64).toStdString(), umlaut + std::string(64 - umlaut.size(), ' '));

    ChooseInput(QStringLiteral("Keys In"));
    ChooseOutput(QStringLiteral("Synth Out"));
    Pick(QStringLiteral("Dev"));
    // Only the entry equal to the stored 64 bytes matches, not the longer original.
    EXPECT_EQ(ui().inputList->currentText().toStdString(), long64);
    EXPECT_EQ(midi.OpenedInput(), long64);
    EXPECT_EQ(ui().outputList->currentText().toStdString(), umlaut);
    EXPECT_EQ(midi.OpenedOutput(), umlaut);
}

TEST_F(SettingsTest, LoadReopensTheSelectedDevicesAndSendsLocalControlOff) {
    Start();
    Type(QStringLiteral("Same"));
    Save();
    midi.ClearEvents();
    midi.ClearSent();
    Pick(QStringLiteral("Same"));
    // Output first, so the input's Local Control Off goes to the reopened output.
    EXPECT_EQ(midi.Events(), (std::vector<Event>{{"out.close", "Synth Out"},
                                                 {"in.close", "Keys In"},
                                                 {"out.open", "Synth Out"},
                                                 {"in.open", "Keys In"}}));
    EXPECT_EQ(midi.Sent(), std::vector<Bytes>{kLocalControlOff});
}

// ---- What a load changes on screen ----

enum class LoadKind { Good, Bad, Missing };

class SettingsLoadRefresh : public SettingsTest, public ::testing::WithParamInterface<LoadKind> {};

TEST_P(SettingsLoadRefresh, RedrawsMarksLabelsBarsAndCurve) {
    SettingsData d = Setting("Keys In", "Synth Out");
    d.notes[60].vcut = 20;
    d.notes[60].vmax = 100;
    d.notes[60].exp = 2.0;
    d.notes[72].selected = kTrue;
    PutSetting(QStringLiteral("Target"), d);
    Start();
    form->session().SetCutOff(33);
    form->session().SetMaximum(99);
    form->session().ToggleSelected(70);
    const QImage shownCurve = ui().curveView->image().copy();
    ASSERT_EQ(ui().cutOffValue->text(), QStringLiteral("33"));

    if (GetParam() == LoadKind::Bad)
        Put(PathOf("Target"), WithByte(Raw(d), 4, 7));
    if (GetParam() == LoadKind::Missing) {
        ASSERT_TRUE(QFile::remove(PathOf("Target")));
    }
    midi.ClearSent();
    Pick(QStringLiteral("Target"));

    const bool good = GetParam() == LoadKind::Good;
    EXPECT_EQ(ui().cutOffValue->text(), good ? QStringLiteral("20") : QStringLiteral("33"));
    EXPECT_EQ(ui().maximumValue->text(), good ? QStringLiteral("100") : QStringLiteral("99"));
    EXPECT_EQ(ui().cutOffBar->value(), good ? 20 : 33);
    EXPECT_EQ(MainWindow::VmaxAt(ui().maximumBar->value()), good ? 100 : 99);
    EXPECT_EQ(ui().exponentValue->text(), good ? QStringLiteral("2") : QStringLiteral("1"));
    EXPECT_EQ(ui().curveView->image() != shownCurve, good);
    EXPECT_EQ(IsBlue(MarkAt(72)), good);
    EXPECT_EQ(IsBlue(MarkAt(70)), !good);
    // Devices are reselected from the names of the last save or good load; before any,
    // the names match no device and no port is touched.
    EXPECT_EQ(Count(kLocalControlOff), good ? 1 : 0);
    // A bad file, and one deleted since it was listed, each say what became of it.
    if (!good) {
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_TRUE(boxes.shown[0].text.startsWith(
            GetParam() == LoadKind::Bad ? QStringLiteral("Target") + kNotASetting
                                        : QStringLiteral("setting 'Target' not found")))
            << boxes.shown[0].text.toStdString();
        EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Velomire"));
    } else {
        EXPECT_TRUE(boxes.shown.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SettingsLoadRefresh,
                         ::testing::Values(LoadKind::Good, LoadKind::Bad, LoadKind::Missing),
                         [](const auto& p) {
                             return p.param == LoadKind::Good  ? std::string("Good")
                                    : p.param == LoadKind::Bad ? std::string("Bad")
                                                               : std::string("Missing");
                         });

// Only -1 is a selection mark; other non-zero values are kept as stored (they still count
// for spreading).
TEST_F(SettingsTest, StoredSelectionOtherThanMinusOneShowsNoMark) {
    SettingsData d = Setting("Keys In", "Synth Out");
    d.notes[72].selected = 1;
    d.notes[74].selected = kTrue;
    PutSetting(QStringLiteral("Sel"), d);
    Start();
    Pick(QStringLiteral("Sel"));
    EXPECT_EQ(Note(72).selected, 1);
    EXPECT_FALSE(IsBlue(MarkAt(72)));
    EXPECT_TRUE(IsBlue(MarkAt(74)));
}

TEST_F(SettingsTest, ShortFileIsRejectedWithoutTouchingTheTables) {
    PutSetting(QStringLiteral("Cut"), Setting("Keys In", "Synth Out", 40));
    Start();
    ui().cutOffBar->setValue(25);
    const NoteTable before = form->notes();
    Put(PathOf("Cut"), Raw(Setting("Keys In", "Synth Out", 40)).left(1813));
    Pick(QStringLiteral("Cut"));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.startsWith(QStringLiteral("Cut") + kNotASetting));
    EXPECT_EQ(form->notes(), before);
    EXPECT_EQ(form->activenote(), 60);
}

struct DamageCase {
    const char* what;
    std::function<void(SettingsData&)> damage;
    int activenote;
    NoteSetting note60;
};

class SettingsDamagedValues : public SettingsTest,
                              public ::testing::WithParamInterface<DamageCase> {};

TEST_P(SettingsDamagedValues, AreMadeSafeOnLoad) {
    SettingsData d = Setting("Keys In", "Synth Out");
    GetParam().damage(d);
    PutSetting(QStringLiteral("Damaged"), d);
    Start();
    Pick(QStringLiteral("Damaged"));
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(form->activenote(), GetParam().activenote);
    const NoteSetting& n = Note(60);
    const NoteSetting& want = GetParam().note60;
    EXPECT_EQ(n.outnote, want.outnote);
    EXPECT_DOUBLE_EQ(n.exp, want.exp);
    EXPECT_EQ(n.vcut, want.vcut);
    EXPECT_EQ(n.vmax, want.vmax);
    EXPECT_LE(MapVelocity(127, n), 127);
    EXPECT_FALSE(ui().exponentValue->text().isEmpty());
}

const NoteSetting kPlain60{60, kFalse, 1.0, 0, 127};

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsDamagedValues,
    ::testing::Values(
        DamageCase{"active_200", [](SettingsData& d) { d.activenote = 200; }, 60, kPlain60},
        DamageCase{"active_129", [](SettingsData& d) { d.activenote = 129; }, 60, kPlain60},
        DamageCase{"vcut_200",
                   [](SettingsData& d) { d.notes[60].vcut = 200; },
                   60,
                   {60, kFalse, 1.0, 127, 127}},
        DamageCase{"vmax_255", [](SettingsData& d) { d.notes[60].vmax = 255; }, 60, kPlain60},
        DamageCase{
            "exp_nan",
            [](SettingsData& d) { d.notes[60].exp = std::numeric_limits<double>::quiet_NaN(); }, 60,
            kPlain60},
        DamageCase{
            "exp_inf",
            [](SettingsData& d) { d.notes[60].exp = std::numeric_limits<double>::infinity(); }, 60,
            kPlain60},
        DamageCase{"exp_zero", [](SettingsData& d) { d.notes[60].exp = 0.0; }, 60, kPlain60},
        DamageCase{"exp_negative", [](SettingsData& d) { d.notes[60].exp = -2.0; }, 60, kPlain60},
        DamageCase{"outnote_200", [](SettingsData& d) { d.notes[60].outnote = 200; }, 60,
                   kPlain60}),
    [](const auto& p) { return std::string(p.param.what); });

TEST_F(SettingsTest, LoadLeavesTranspositionEntry128AndChannel16) {
    SettingsData d = Setting("Keys In", "Synth Out");
    PutSetting(QStringLiteral("T"), d);
    Start();
    form->SelectByProgram(ui().transposeList, kTransposeRange + 3); // +3
    ASSERT_EQ(Note(60).outnote, 63);
    Seed([](SessionState& st) {
        st.notes[128] = {5, kTrue, 3.0, 4, 6};
        st.channels[16] = 9;
    });

    Pick(QStringLiteral("T"));
    EXPECT_EQ(Note(128), (NoteSetting{5, kTrue, 3.0, 4, 6}));
    EXPECT_EQ(form->session().channels()[16], 9);
    // The stored output notes are in force, and the list shows them.
    EXPECT_EQ(Note(60).outnote, 60);
    EXPECT_EQ(ui().transposeList->currentIndex(), kTransposeRange);
    midi.ClearSent();
    ASSERT_TRUE(midi.Inject(0x90, 60, 100));
    Pump();
    EXPECT_EQ(midi.Sent(), std::vector<Bytes>{(Bytes{0x90, 60, 100})});
}

TEST_F(SettingsTest, PickingLoadsTypingAndReturnDoNot) {
    PutSetting(QStringLiteral("Piano"), Setting("Keys In", "Synth Out", 40));
    Start();
    midi.ClearEvents();
    QLineEdit* edit = ui().settingsList->lineEdit();
    edit->selectAll();
    for (const QChar ch : QStringLiteral("Piano")) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(edit, &press);
    }
    // Return saves, as Save Settings does: over an existing setting it asks first (No).
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(edit, &enter);
    Pump();
    EXPECT_EQ(ui().settingsList->currentText(), QStringLiteral("Piano"));
    EXPECT_EQ(form->activenote(), 60);
    EXPECT_TRUE(midi.Events().empty());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].question);

    Pick(QStringLiteral("Piano"));
    EXPECT_EQ(form->activenote(), 40);
    EXPECT_EQ(ui().activeNoteName->text(), QStringLiteral("E2"));
}

} // namespace
} // namespace velomire::testing

namespace velomire::testing {
namespace {

// What the closed settings box does with everything but a pick: nothing is loaded, nothing
// is sent, and the typed text stays exactly as typed (no completion, no case folding).
TEST_F(SettingsTest, ClosedBoxNeverLoads) {
    PutSetting(QStringLiteral("Piano"), Setting("Keys In", "Synth Out", 40));
    PutSetting(QStringLiteral("SpreadBase"), Setting("Keys In", "Synth Out", 41));
    Start();
    PickList* box = ui().settingsList;
    const auto type = [&](const QString& text) {
        box->setFocus();
        box->lineEdit()->selectAll();
        QTest::keyClicks(box, text);
    };
    struct Row {
        const char* what;
        std::function<void()> act;
        const char* text; // nullptr: whatever the box showed
    };
    const Row rows[] = {
        {"focus in and out",
         [&] {
             box->setFocus();
             ui().keyboardView->setFocus();
         },
         nullptr},
        {"wheel over the box",
         [&] {
             QWheelEvent wheel(QPointF(5, 5), box->mapToGlobal(QPointF(5, 5)), {}, {0, -120},
                               Qt::NoButton, {}, Qt::NoScrollPhase, false);
             QApplication::sendEvent(box, &wheel);
         },
         nullptr},
        {"arrow keys", [&] { QTest::keyClick(box, Qt::Key_Down); }, nullptr},
        {"other case, then focus out", [&] { type("PIANO"), ui().keyboardView->setFocus(); },
         "PIANO"},
        {"a prefix, then focus out", [&] { type("Spread"), ui().keyboardView->setFocus(); },
         "Spread"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        midi.ClearSent();
        const QString before = box->currentText();
        r.act();
        Pump();
        EXPECT_EQ(form->activenote(), 60);
        EXPECT_TRUE(midi.Sent().empty()) << "a load sends Local Control Off";
        EXPECT_EQ(box->currentText(), r.text ? QString::fromLatin1(r.text) : before);
    }
    // Saving takes exactly the typed text: a new PIANO, with no question and no load.
    type("PIANO");
    ui().saveButton->click();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(QFileInfo::exists(PathOf("PIANO")));
    EXPECT_EQ(form->activenote(), 60);

    // Only a pick from the open list loads, by click or by Return; the same entry reloads.
    for (const bool byReturn : {false, true, true}) {
        midi.ClearSent();
        form->session().SetActiveKey(70);
        PickFromList(box, box->findText("Piano"), byReturn);
        EXPECT_EQ(form->activenote(), 40);
        EXPECT_FALSE(midi.Sent().empty());
    }
}

// Undo takes a load back whole: what plays, the setting's name and mark, its devices, so a
// later save goes where the user expects. Ctrl+Z and Ctrl+Y work from the settings box's
// field, and the transposition box shows what plays throughout.
TEST_F(SettingsTest, UndoOfALoadBringsBackWhatItReplaced) {
    midi.inputs = {"Keys In", "Piano In"};
    SettingsData piano = Setting("Piano In", "Synth Out");
    for (int n = 0; n < kStoredNotes; ++n)
        piano.notes[static_cast<std::size_t>(n)].outnote =
            static_cast<std::uint8_t>(std::min(n + 5, 127));
    PutSetting(QStringLiteral("My Piano"), piano);
    SettingsData own = Setting("Keys In", "Synth Out");
    own.notes[61].outnote = 40; // no transposition plays this
    PutSetting(QStringLiteral("Own"), own);
    Start();
    Pick(QStringLiteral("My Piano"));
    EXPECT_EQ(form->focusWidget(), ui().keyboardView) << "the keys go on where they were";
    EXPECT_EQ(ui().transposeList->currentIndex(), kTransposeRange + 5);
    ui().cutOffBar->setValue(25);
    Pick(QStringLiteral("Own")); // Discard
    ASSERT_EQ(boxes.unsavedAsked.size(), 1u);
    EXPECT_EQ(ui().transposeList->currentIndex(), -1);
    EXPECT_EQ(midi.OpenedInput(), "Keys In");

    QApplication::setActiveWindow(form.get());
    // Typing goes to the box, which hands it to its text field.
    PickList* box = ui().settingsList;
    box->setFocus();
    struct Step {
        Qt::Key key;
        QString name;
        bool modified;
        int transposeIndex;
        std::string input;
    };
    for (const Step& step : {Step{Qt::Key_Z, "My Piano", true, kTransposeRange + 5, "Piano In"},
                             Step{Qt::Key_Y, "Own", false, -1, "Keys In"}}) {
        QTest::keyClick(box, step.key, Qt::ControlModifier);
        EXPECT_EQ(form->session().SettingName(), step.name);
        EXPECT_EQ(form->isWindowModified(), step.modified);
        EXPECT_EQ(ui().transposeList->currentIndex(), step.transposeIndex);
        EXPECT_EQ(midi.OpenedInput(), step.input);
    }
}

// A broken Default is reported once the window is drawn, over it, not before.
TEST_F(SettingsTest, BrokenDefaultIsReportedOverTheDrawnWindow) {
    Put(PathOf("Default"), QByteArray("VMC2"));
    form = std::make_unique<MainWindow>(midi, boxes);
    form->Start();
    Pump();
    EXPECT_TRUE(boxes.shown.empty());
    form->show();
    Pump();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.startsWith(QStringLiteral("Default") + kNotASetting));
}

// Changes that no file holds yet are never dropped without asking: picking another setting
// and closing the window both ask, and the window's title says so beforehand.
TEST_F(SettingsTest, UnsavedChangesAreAskedAbout) {
    PutSetting(QStringLiteral("Piano"), Setting("Keys In", "Synth Out", 40));
    PutSetting(QStringLiteral("Organ"), Setting("Keys In", "Synth Out", 50));
    Start();
    PickFromList(ui().settingsList, ui().settingsList->findText("Piano"));
    EXPECT_TRUE(form->windowTitle().startsWith("Velomire v1.0"));
    EXPECT_TRUE(form->windowTitle().contains("Piano"));
    EXPECT_FALSE(form->isWindowModified());
    form->session().SetActiveKey(45); // moving the active key is no change to save
    EXPECT_FALSE(form->isWindowModified());
    ui().cutOffBar->setValue(30);
    EXPECT_TRUE(form->isWindowModified());

    using U = MessageBoxes::Unsaved;
    boxes.unsavedAnswers = {U::Cancel};
    PickFromList(ui().settingsList, ui().settingsList->findText("Organ"));
    EXPECT_EQ(boxes.unsavedAsked.size(), 1u);
    EXPECT_EQ(form->notes()[45].vcut, 30) << "Cancel keeps the changes";
    EXPECT_EQ(ui().settingsList->currentText(), "Piano");

    boxes.unsavedAnswers = {U::Save};
    PickFromList(ui().settingsList, ui().settingsList->findText("Organ"));
    EXPECT_EQ(Saved("Piano").notes[45].vcut, 30) << "Save writes the setting in force";
    EXPECT_EQ(form->activenote(), 50);
    EXPECT_FALSE(form->isWindowModified());

    ui().cutOffBar->setValue(9);
    boxes.unsavedAnswers = {U::Cancel};
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    boxes.unsavedAnswers = {U::Discard};
    QTest::keyClick(form.get(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(boxes.unsavedAsked.size(), 4u);
    EXPECT_EQ(Saved("Organ").notes[50].vcut, 0);
}

} // namespace
} // namespace velomire::testing

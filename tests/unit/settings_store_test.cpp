#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

namespace velomire {
namespace {

SettingsData Sample(std::uint8_t activenote) {
    SettingsData d;
    d.indevice = EncodeDeviceName(QStringLiteral("Clavinova \u00dc-Port"));
    d.outdevice = EncodeDeviceName(QStringLiteral("Synth"));
    d.activenote = activenote;
    for (int n = 0; n < kStoredNotes; ++n)
        SetKeyStartupValues(d.notes[n], n);
    return d;
}

QByteArray Raw(const SettingsData& d) {
    const SettingsBytes b = EncodeSettings(d);
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.isValid());
        old_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(tmp_.path()));
    }
    void TearDown() override {
        QFile::setPermissions(SettingsFolder(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner);
        QDir::setCurrent(old_);
    }
    static void Put(const QString& file, const QByteArray& bytes) {
        QDir().mkpath(SettingsFolder());
        QFile f(SettingsFolder() + "/" + file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }
    static QByteArray Get(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }
    QTemporaryDir tmp_;
    QString old_;
};

TEST_F(SettingsStore, MissingFolderIsAnEmptyLibrary) {
    EXPECT_EQ(SettingsFolder(), tmp_.path() + "/cfg");
    EXPECT_EQ(SettingsPath("Default"), tmp_.path() + "/cfg/Default.vmc");
    EXPECT_TRUE(ListSettings().isEmpty());
    EXPECT_FALSE(SettingsFileExists("Default"));
    EXPECT_EQ(ReadSettingsFile("Default").status, LoadStatus::Missing);
    ASSERT_TRUE(QDir().mkdir("sub") && QDir::setCurrent("sub"));
    EXPECT_EQ(SettingsFolder(), tmp_.path() + "/sub/cfg"); // taken afresh
}

TEST_F(SettingsStore, SaveCreatesFolderAndLoadsBack) {
    const SaveResult saved = WriteSettingsFile("Default", EncodeSettings(Sample(72)));
    ASSERT_TRUE(saved.ok) << saved.error.toStdString();
    EXPECT_EQ(QFileInfo(SettingsPath("Default")).size(), 1814);
    EXPECT_TRUE(SettingsFileExists("Default"));
    const LoadResult loaded = ReadSettingsFile("Default");
    ASSERT_EQ(loaded.status, LoadStatus::Ok);
    EXPECT_EQ(loaded.data, Sample(72));
}

TEST_F(SettingsStore, ListsLoadableFilesInNameOrder) {
    for (const char* name : {"piano", "Stage 2", "Organ", "Grand-\u00dc", "", "Default"})
        ASSERT_TRUE(WriteSettingsFile(QString::fromUtf8(name), EncodeSettings(Sample(60))).ok);
    QByteArray bad = Raw(Sample(60));
    bad[0] = 'v';
    Put("Broken.vmc", bad);
    Put("Short.vmc", Raw(Sample(60)).left(1813));
    Put("Upper.VMC", Raw(Sample(60)));
    Put("notes.txt", Raw(Sample(60)));
    Put("a..b.vmc", Raw(Sample(60)));
    ASSERT_TRUE(QDir(SettingsFolder()).mkdir("Dir.vmc"));
    QFile::copy(VELOMIRE_TEST_DATA "/valid/longer_than_record.vmc", SettingsPath("Long"));

    EXPECT_EQ(ListSettings(),
              QStringList({"", "Default", "Grand-\u00dc", "Long", "Organ", "piano", "Stage 2"}));
    EXPECT_EQ(ReadSettingsFile("Long").status, LoadStatus::Ok);
    for (const char* name : {"Broken", "Short", "Dir"}) {
        const LoadResult r = ReadSettingsFile(name);
        EXPECT_EQ(r.status, LoadStatus::Invalid) << name;
        EXPECT_TRUE(r.error.contains(QString(name) + ".vmc")) << r.error.toStdString();
    }
}

TEST_F(SettingsStore, SaveReplacesTheFileAsAWhole) {
    const QByteArray old(3000, 'x'); // longer than a record: no old bytes may survive
    Put("Piano.vmc", old);
    ASSERT_EQ(::link(QFile::encodeName(SettingsPath("Piano")).constData(),
                     QFile::encodeName(tmp_.path() + "/old").constData()),
              0);
    ASSERT_TRUE(WriteSettingsFile("Piano", EncodeSettings(Sample(50))).ok);
    EXPECT_EQ(Get(SettingsPath("Piano")), Raw(Sample(50)));
    // The old inode was never written to: the new file was renamed over it.
    EXPECT_EQ(Get(tmp_.path() + "/old"), old);
    EXPECT_EQ(QDir(SettingsFolder()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(SettingsStore, FolderInTheWayIsReported) {
    QFile blocker("cfg");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly) && blocker.write("keep") == 4);
    blocker.close();
    const SaveResult r = WriteSettingsFile("Piano", EncodeSettings(Sample(60)));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains("Piano.vmc") && r.error.contains("not a folder"))
        << r.error.toStdString();
    EXPECT_EQ(Get("cfg"), "keep");
}

TEST_F(SettingsStore, FailedSaveKeepsTheOldSetting) {
    ASSERT_TRUE(WriteSettingsFile("Piano", EncodeSettings(Sample(40))).ok);
    ASSERT_TRUE(
        QFile::setPermissions(SettingsFolder(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    QFile probe(SettingsFolder() + "/probe");
    if (probe.open(QIODevice::WriteOnly)) {
        probe.remove();
        GTEST_SKIP() << "running with rights that ignore a read-only folder";
    }
    const SaveResult r = WriteSettingsFile("Piano", EncodeSettings(Sample(90)));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains("Piano.vmc")) << r.error.toStdString();
    EXPECT_EQ(Get(SettingsPath("Piano")), Raw(Sample(40)));
    EXPECT_EQ(QDir(SettingsFolder()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(SettingsStore, UnsafeNamesAreRefusedBeforeTouchingDisk) {
    const QString unsafe[] = {
        "a/b",
        "a\\b",
        "..",
        "x..y",
        "*",
        "what?",
        "tab\tname",
        "a<b",
        "a>b",
        "a:b",
        "a\"b",
        "a|b",
        "trail ",
        "trail.",
        ".",
        "CON",
        "con",
        "Nul.txt",
        "aux .x",
        "COM1",
        "lpt9",
        "COM\u00b9",
        QString(1, QChar(0x7F)),
        QString(1, QChar(0x85)),
        QString(1, QChar(0xD800)),
        QString(1, QChar(0)),
        QString(252, 'a'),
        QString(84, QChar(0x3042)),
    };
    for (const QString& name : unsafe) {
        const auto reason = UnsafeNameReason(name);
        ASSERT_TRUE(reason.has_value()) << name.toStdString();
        const SaveResult r = WriteSettingsFile(name, EncodeSettings(Sample(60)));
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.error.contains(*reason)) << r.error.toStdString();
        EXPECT_FALSE(SettingsFileExists(name));
        EXPECT_EQ(ReadSettingsFile(name).status, LoadStatus::Missing);
    }
    EXPECT_FALSE(QFileInfo::exists(SettingsFolder())) << "nothing may be created";

    const QString safe[] = {"Piano",
                            "Stage 2",
                            "Grand-\u00dc",
                            "",
                            "a.b",
                            "COM10",
                            "CONSOLE",
                            " lead",
                            "\u30e4\u30de\u30cf",
                            QString(251, 'a'),
                            QString(83, QChar(0x3042))};
    for (const QString& name : safe) {
        EXPECT_FALSE(UnsafeNameReason(name).has_value()) << name.toStdString();
        const SaveResult r = WriteSettingsFile(name, EncodeSettings(Sample(61)));
        ASSERT_TRUE(r.ok) << r.error.toStdString();
        EXPECT_EQ(ReadSettingsFile(name).status, LoadStatus::Ok) << name.toStdString();
        EXPECT_TRUE(ListSettings().contains(name)) << name.toStdString();
    }
}

} // namespace
} // namespace velomire

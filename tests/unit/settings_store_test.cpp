#include "core/settings/settings_store.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

using Occupant = SettingsStore::Occupant;

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.isValid());
        old_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(tmp_.path()));
        s = SettingsStore::InWorkingDirectory();
    }
    void TearDown() override {
        FailSaveStepForTesting(SaveStep::Create, 0);
        if (!mounted_.isEmpty())
            ::umount2(QFile::encodeName(mounted_).constData(), MNT_DETACH);
        QDir::setCurrent(old_);
    }
    void Put(const QString& file, const QByteArray& bytes) const {
        QDir().mkpath(s.Folder());
        QFile f(s.Folder() + "/" + file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }
    static QByteArray Get(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }
    // A failed save of "Piano" over Sample(40), or of a new "Fresh": the message names the
    // file and the system's reason, and the folder holds the old file alone, as it was.
    static void ExpectFailedCleanly(const SettingsStore& store, const char* name, int error) {
        const SaveResult r = store.Write(name, EncodeSettings(Sample(90)));
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.error.contains(store.PathOf(name)) &&
                    r.error.contains(QString::fromLocal8Bit(std::strerror(error))))
            << r.error.toStdString();
        EXPECT_EQ(Get(store.PathOf("Piano")), Raw(Sample(40)));
        EXPECT_EQ(
            QDir(store.Folder())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList{"Piano.vmc"});
    }
    QTemporaryDir tmp_;
    QString old_;
    QString mounted_;
    SettingsStore s{QString()};
};

TEST_F(SettingsStoreTest, MissingFolderIsAnEmptyLibrary) {
    EXPECT_EQ(s.Folder(), tmp_.path() + "/cfg");
    EXPECT_EQ(s.PathOf("Default"), tmp_.path() + "/cfg/Default.vmc");
    EXPECT_TRUE(s.List().isEmpty());
    EXPECT_EQ(s.At("Default"), Occupant::Nothing);
    EXPECT_EQ(s.Read("Default").status, LoadStatus::Missing);
    ASSERT_TRUE(QDir().mkdir("sub") && QDir::setCurrent("sub"));
    EXPECT_EQ(s.Folder(), tmp_.path() + "/cfg"); // resolved once
    EXPECT_EQ(SettingsStore::InWorkingDirectory().Folder(), tmp_.path() + "/sub/cfg");
}

TEST_F(SettingsStoreTest, SaveCreatesFolderAndLoadsBack) {
    const SaveResult saved = s.Write("Default", EncodeSettings(Sample(72)));
    ASSERT_TRUE(saved.ok) << saved.error.toStdString();
    EXPECT_EQ(QFileInfo(s.PathOf("Default")).size(), 1814);
    EXPECT_EQ(s.At("Default"), Occupant::Setting);
    const LoadResult loaded = s.Read("Default");
    ASSERT_EQ(loaded.status, LoadStatus::Ok);
    EXPECT_EQ(loaded.data, Sample(72));
}

TEST_F(SettingsStoreTest, ListsLoadableFilesInNameOrder) {
    for (const char* name : {"piano", "Stage 2", "Organ", "Grand-\u00dc", "Default"})
        ASSERT_TRUE(s.Write(QString::fromUtf8(name), EncodeSettings(Sample(60))).ok);
    QByteArray bad = Raw(Sample(60));
    bad[0] = 'v';
    Put("Broken.vmc", bad);
    Put("Short.vmc", Raw(Sample(60)).left(1813));
    Put("Upper.VMC", Raw(Sample(60)));
    Put("notes.txt", Raw(Sample(60)));
    Put("a..b.vmc", Raw(Sample(60)));
    ASSERT_TRUE(QDir(s.Folder()).mkdir("Dir.vmc"));
    QFile::copy(VELOMIRE_TEST_DATA "/valid/longer_than_record.vmc", s.PathOf("Long"));
    // Never listed: the empty name, a leftover temporary file, a link to a setting, a pipe.
    Put(".vmc", Raw(Sample(60)));
    Put(".vmc-tmp-Ab12Cd", Raw(Sample(60)));
    ASSERT_TRUE(QFile::link(s.PathOf("Organ"), s.PathOf("Link")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(s.PathOf("Pipe")).constData(), 0666), 0);

    EXPECT_EQ(s.List(),
              QStringList({"Default", "Grand-\u00dc", "Long", "Organ", "piano", "Stage 2"}));
    EXPECT_EQ(s.Read("Long").status, LoadStatus::Ok);
    // Each says which file and why: not a settings file, or not one that can be read.
    const std::pair<const char*, LoadStatus> refused[] = {{"Broken", LoadStatus::Invalid},
                                                          {"Short", LoadStatus::Invalid},
                                                          {"Dir", LoadStatus::Unreadable}};
    for (const auto& [name, status] : refused) {
        const LoadResult r = s.Read(name);
        EXPECT_EQ(r.status, status) << name;
        EXPECT_TRUE(r.error.contains(QString(name) + ".vmc")) << r.error.toStdString();
    }
}

// A folder or a file that cannot be read says so in the system's words (injected, so that
// it bites as root too), never "not found"; a file deleted since it was listed is.
TEST_F(SettingsStoreTest, ReadsThatFailSayWhy) {
    Put("Piano.vmc", Raw(Sample(40)));
    for (const ReadStep step : {ReadStep::OpenFolder, ReadStep::OpenFile}) {
        FailReadStepForTesting(step, EACCES);
        const LoadResult r = s.Read("Piano");
        FailReadStepForTesting(step, 0);
        EXPECT_EQ(r.status, LoadStatus::Unreadable);
        EXPECT_TRUE(r.error.contains(s.PathOf("Piano")) &&
                    r.error.contains(QString::fromLocal8Bit(std::strerror(EACCES))))
            << r.error.toStdString();
    }
    EXPECT_EQ(s.Read("Gone").error, "setting 'Gone' not found: no file " + s.PathOf("Gone"));
}

// A save cut short (a kill) leaves its temporary file: the next start or save removes it,
// never one that a running save holds locked.
TEST_F(SettingsStoreTest, LeftoverTemporaryFilesAreRemovedButNotOnesInUse) {
    Put(".vmc-tmp-Left01", Raw(Sample(40)));
    Put(".vmc-tmp-InUse1", Raw(Sample(41)));
    const int held = ::open(QFile::encodeName(s.Folder() + "/.vmc-tmp-InUse1").constData(),
                            O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    s.RemoveStaleTemporaryFiles(std::chrono::seconds(60));
    EXPECT_TRUE(QFile::exists(s.Folder() + "/.vmc-tmp-Left01")) << "too young to be stale";
    s.RemoveStaleTemporaryFiles(std::chrono::seconds(0));
    EXPECT_FALSE(QFile::exists(s.Folder() + "/.vmc-tmp-Left01"));
    EXPECT_TRUE(QFile::exists(s.Folder() + "/.vmc-tmp-InUse1"));
    ::close(held);
}

TEST_F(SettingsStoreTest, SaveReplacesTheFileAsAWhole) {
    const QByteArray old(3000, 'x'); // longer than a record: no old bytes may survive
    Put("Piano.vmc", old);
    ASSERT_EQ(::link(QFile::encodeName(s.PathOf("Piano")).constData(),
                     QFile::encodeName(tmp_.path() + "/old").constData()),
              0);
    ASSERT_TRUE(s.Write("Piano", EncodeSettings(Sample(50))).ok);
    EXPECT_EQ(Get(s.PathOf("Piano")), Raw(Sample(50)));
    // The old inode was never written to: the new file was renamed over it.
    EXPECT_EQ(Get(tmp_.path() + "/old"), old);
    EXPECT_EQ(QDir(s.Folder()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(SettingsStoreTest, FolderInTheWayIsReported) {
    QFile blocker("cfg");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly) && blocker.write("keep") == 4);
    blocker.close();
    const SaveResult r = s.Write("Piano", EncodeSettings(Sample(60)));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains("Piano.vmc") && r.error.contains("not a folder"))
        << r.error.toStdString();
    EXPECT_EQ(Get("cfg"), "keep");
}

TEST_F(SettingsStoreTest, FailedSaveKeepsTheOldSetting) {
    ASSERT_TRUE(s.Write("Piano", EncodeSettings(Sample(40))).ok);
    const std::pair<SaveStep, int> failures[] = {
        {SaveStep::Create, EACCES}, {SaveStep::Write, ENOSPC}, {SaveStep::SyncFile, EIO},
        {SaveStep::Close, EDQUOT},  {SaveStep::Rename, EPERM}, {SaveStep::SyncFolder, EROFS}};
    for (const auto& [step, error] : failures) {
        FailSaveStepForTesting(step, error);
        for (const char* name : {"Piano", "Fresh"})
            ExpectFailedCleanly(s, name, error);
    }
}

// The kernel's own ENOSPC, on a small tmpfs (needs the right to mount, as CI has).
TEST_F(SettingsStoreTest, FullFileSystemKeepsTheOldSetting) {
    const QString disk = tmp_.path() + "/disk";
    ASSERT_TRUE(QDir().mkdir(disk));
    // In a private mount namespace where possible, so that not even a crash leaves it mounted.
    if (::unshare(CLONE_NEWNS) == 0)
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    if (::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    mounted_ = disk;
    const SettingsStore small(disk + "/cfg");
    ASSERT_TRUE(small.Write("Piano", EncodeSettings(Sample(40))).ok);
    QFile filler(disk + "/filler");
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(4096, 'f')) > 0) {
    }
    for (const char* name : {"Piano", "Fresh"})
        ExpectFailedCleanly(small, name, ENOSPC);
}

// Only a regular file in the folder is read or replaced: nothing is written or read through
// a link, and nothing waits on a pipe or a device.
TEST_F(SettingsStoreTest, OtherKindsOfFileAreRefusedAndNeverFollowed) {
    const QString outside = tmp_.path() + "/outside.vmc";
    const QString absent = tmp_.path() + "/absent.vmc";
    Put("../outside.vmc", Raw(Sample(70)));
    using Make = std::function<bool(const char*)>;
    const std::pair<QString, Make> kinds[] = {
        {"symbolic link", [&](auto p) { return QFile::link(outside, p); }},
        {"symbolic link", [&](auto p) { return QFile::link(absent, p); }},
        {"device", [](auto p) { return ::mknod(p, S_IFCHR | 0666, makedev(1, 3)) == 0; }},
        {"named pipe", [](auto p) { return ::mkfifo(p, 0666) == 0; }},
        {"folder", [](auto p) { return ::mkdir(p, 0777) == 0; }}};
    ::alarm(30); // a blocking open fails the test instead of hanging it
    int n = 0;
    for (const auto& [kind, make] : kinds) {
        const QString name = QStringLiteral("N%1").arg(++n);
        const QByteArray path = QFile::encodeName(s.PathOf(name));
        if (!make(path.constData())) {
            ADD_FAILURE() << "cannot make a " << kind.toStdString();
            continue;
        }
        struct stat before {};
        struct stat after {};
        ::lstat(path.constData(), &before);
        EXPECT_EQ(s.At(name), Occupant::Other) << n;
        const SaveResult w = s.Write(name, EncodeSettings(Sample(90)));
        EXPECT_TRUE(!w.ok && w.error.contains(s.PathOf(name)) && w.error.contains(kind))
            << w.error.toStdString();
        const LoadResult r = s.Read(name);
        EXPECT_TRUE(r.status == LoadStatus::Unreadable && r.error.contains(kind))
            << r.error.toStdString();
        ::lstat(path.constData(), &after);
        EXPECT_EQ(before.st_mode, after.st_mode) << n;
        EXPECT_EQ(before.st_ino, after.st_ino) << n;
    }
    EXPECT_TRUE(s.List().isEmpty());
    ::alarm(0);
    EXPECT_EQ(Get(outside), Raw(Sample(70)));
    EXPECT_FALSE(QFileInfo::exists(absent));
}

// The folder resolved at start is the only one: never a "/cfg", never a recreated parent.
TEST_F(SettingsStoreTest, SaveAfterTheWorkingDirectoryWasRemovedFailsAndMakesNothing) {
    const bool rootCfg = QFileInfo::exists("/cfg");
    ASSERT_TRUE(QDir().mkdir("gone") && QDir::setCurrent("gone"));
    const SettingsStore before = SettingsStore::InWorkingDirectory();
    ASSERT_TRUE(QDir(tmp_.path() + "/gone").removeRecursively());
    for (const SettingsStore& store : {before, SettingsStore::InWorkingDirectory()}) {
        const SaveResult r = store.Write("Piano", EncodeSettings(Sample(60)));
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.error.contains("Piano.vmc") && r.error.contains("exist"))
            << r.error.toStdString();
        EXPECT_TRUE(store.List().isEmpty());
        EXPECT_EQ(store.Read("Piano").status, LoadStatus::Missing);
    }
    EXPECT_FALSE(QFileInfo::exists(tmp_.path() + "/gone"));
    EXPECT_EQ(QFileInfo::exists("/cfg"), rootCfg);
}

TEST_F(SettingsStoreTest, UnsafeNamesAreRefusedBeforeTouchingDisk) {
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
        "",
        "   ",
        "\u3000",
        "bidi\u202e01",                   // shows as another name
        QString(QChar(0xFEFF)) + "Piano", // a command line drops the mark: another setting
        "zero\u200bwidth",
    };
    EXPECT_TRUE(s.UnsafeNameReason(QString(252, 'a'))->contains("251"));
    for (const QString& name : unsafe) {
        const auto reason = s.UnsafeNameReason(name);
        ASSERT_TRUE(reason.has_value()) << name.toStdString();
        const SaveResult r = s.Write(name, EncodeSettings(Sample(60)));
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.error.contains(*reason)) << r.error.toStdString();
        EXPECT_EQ(s.At(name), Occupant::Nothing);
        EXPECT_EQ(s.Read(name).status, LoadStatus::Missing);
    }
    // A file already named so is still listed and read: only new ones are refused.
    Put(QStringLiteral("bidi\u202e01.vmc"), Raw(Sample(60)));
    EXPECT_EQ(s.List(), QStringList{QStringLiteral("bidi\u202e01")});
    EXPECT_EQ(s.Read(QStringLiteral("bidi\u202e01")).status, LoadStatus::Ok);
    ASSERT_TRUE(QFile::remove(s.PathOf(QStringLiteral("bidi\u202e01"))));
    ASSERT_TRUE(QDir().rmdir(s.Folder()));
    EXPECT_FALSE(QFileInfo::exists(s.Folder())) << "nothing may be created";

    const QString safe[] = {"Piano",
                            "Stage 2",
                            "Grand-\u00dc",
                            "a.b",
                            "COM10",
                            "CONSOLE",
                            " lead",
                            "\u30e4\u30de\u30cf",
                            QString(245, 'b'),
                            QString(251, 'a'),
                            QString(83, QChar(0x3042))};
    for (const QString& name : safe) {
        EXPECT_FALSE(s.UnsafeNameReason(name).has_value()) << name.toStdString();
        for (int twice = 0; twice < 2; ++twice) {
            const SaveResult r = s.Write(name, EncodeSettings(Sample(61)));
            ASSERT_TRUE(r.ok) << r.error.toStdString();
        }
        EXPECT_EQ(s.Read(name).status, LoadStatus::Ok) << name.toStdString();
        EXPECT_TRUE(s.List().contains(name)) << name.toStdString();
    }
}

} // namespace
} // namespace velomire

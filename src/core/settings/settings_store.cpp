#include "core/settings/settings_store.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velomire {
namespace {

const QString kExtension = QStringLiteral(".vmc");
// Hidden, of fixed length and not ending in ".vmc": it fits beside any name the length
// check lets through, and one left behind by a crash never shows in the list.
constexpr char kTempPrefix[] = ".vmc-tmp-";
constexpr int kTempRandomChars = 6;
constexpr int kTempNameBytes = static_cast<int>(sizeof kTempPrefix) - 1 + kTempRandomChars;
constexpr std::chrono::seconds kStaleTempAge{60};

SaveStep g_failStep = SaveStep::Create;
int g_failError = 0;
ReadStep g_failReadStep = ReadStep::OpenFolder;
int g_failReadError = 0;

// True, with errno set, when a test has asked this step to fail.
bool Injected(SaveStep step) {
    if (g_failError == 0 || step != g_failStep)
        return false;
    errno = g_failError;
    return true;
}
bool Injected(ReadStep step) {
    if (g_failReadError == 0 || step != g_failReadStep)
        return false;
    errno = g_failReadError;
    return true;
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// Device names Windows reserves with any extension; compared against the part before the
// first dot, upper-cased, trailing spaces removed.
bool IsReservedDeviceName(const QString& name) {
    QString base = name.section(QLatin1Char('.'), 0, 0).toUpper();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    static const QStringList kFixed{QStringLiteral("CON"),    QStringLiteral("PRN"),
                                    QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                    QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (kFixed.contains(base))
        return true;
    if (base.size() == 4 &&
        (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))) {
        const char16_t last = base.at(3).unicode();
        // Digits 0-9 and the superscripts 1, 2, 3, which Windows also treats as device ports.
        return (last >= u'0' && last <= u'9') || last == u'\u00B9' || last == u'\u00B2' ||
               last == u'\u00B3';
    }
    return false;
}

bool IsControl(QChar c) {
    return c.category() == QChar::Other_Control;
}

bool HasUnpairedSurrogate(const QString& s) {
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return true;
    }
    return false;
}

QString Reason(int error) {
    return QString::fromLocal8Bit(std::strerror(error)) + QLatin1Char('.');
}

QString CannotSave(const QString& path, const QString& why) {
    return QStringLiteral("Cannot save \"%1\": %2").arg(path, why);
}

QString CannotRead(const QString& path, const QString& why) {
    return QStringLiteral("Cannot read \"%1\": %2").arg(path, why);
}

QString KindOf(mode_t mode) {
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("not a regular file");
}

QString ParentOf(const QString& folder) {
    const qsizetype slash = folder.lastIndexOf(QLatin1Char('/'));
    return slash > 0 ? folder.left(slash) : QStringLiteral("/");
}

QByteArray FileName(const QString& name) {
    return QFile::encodeName(name + kExtension);
}

// Opens the settings folder; with `create`, makes it when missing, but only inside its
// parent as it was resolved: a parent that has gone is reported, never recreated.
Fd OpenFolder(const QString& folder, bool create, QString* why, int* failure = nullptr) {
    if (failure)
        *failure = ENOENT;
    if (folder.isEmpty()) {
        *why = QStringLiteral("the working directory no longer exists, so there is no "
                              "settings folder.");
        return {};
    }
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    Fd fd(::open(QFile::encodeName(folder).constData(), kFlags));
    int error = errno;
    QString where = folder;
    if (!fd && error == ENOENT && create) {
        const Fd parent(::open(QFile::encodeName(ParentOf(folder)).constData(), kFlags));
        const QByteArray leaf = QFile::encodeName(folder.mid(ParentOf(folder).size() + 1));
        if (!parent) {
            error = errno;
            where = ParentOf(folder);
        } else if (::mkdirat(parent.get(), leaf.constData(), 0777) != 0 && errno != EEXIST) {
            *why = QStringLiteral("the folder \"%1\" could not be created: %2")
                       .arg(folder, Reason(errno));
            return {};
        } else {
            fd = Fd(::openat(parent.get(), leaf.constData(), kFlags));
            error = errno;
        }
    }
    if (fd)
        return fd;
    if (failure)
        *failure = error;
    if (error == ENOTDIR)
        *why = QStringLiteral("\"%1\" exists but is not a folder.").arg(folder);
    else if (error == ENOENT)
        *why = QStringLiteral("the folder \"%1\" does not exist.").arg(where);
    else
        *why = QStringLiteral("the folder \"%1\" cannot be opened: %2").arg(folder, Reason(error));
    return {};
}

// A regular file of the folder, open for reading; links are not followed and nothing else
// is opened, so no pipe or device can block or be touched. The type is checked again on
// the descriptor: the name may have been swapped between the two looks.
struct Opened {
    Fd fd;
    int error = 0;   // from the system; ENOENT: nothing there
    mode_t mode = 0; // what is there when it is not a regular file
};

Opened OpenRegular(int dir, const QByteArray& file) {
    Opened r;
    struct stat st {};
    if (Injected(ReadStep::OpenFile) ||
        ::fstatat(dir, file.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        r.error = errno;
        return r;
    }
    if (S_ISREG(st.st_mode)) {
        r.fd = Fd(::openat(dir, file.constData(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!r.fd || ::fstat(r.fd.get(), &st) != 0) {
            r.error = errno;
            r.fd = Fd();
            return r;
        }
    }
    if (!S_ISREG(st.st_mode)) {
        r.fd = Fd();
        r.mode = st.st_mode;
    }
    return r;
}

// At most one record: bytes after it are ignored by the decoder, and a stray huge file must
// not be pulled into memory. 0 or the errno.
int ReadRecord(int fd, QByteArray* bytes) {
    bytes->resize(static_cast<qsizetype>(kSettingsFileSize));
    qsizetype got = 0;
    while (got < bytes->size()) {
        const ssize_t n =
            ::read(fd, bytes->data() + got, static_cast<std::size_t>(bytes->size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        got += n;
    }
    bytes->truncate(got);
    return 0;
}

std::span<const std::uint8_t> AsBytes(const QByteArray& a) {
    return {reinterpret_cast<const std::uint8_t*>(a.constData()),
            static_cast<std::size_t>(a.size())};
}

// Makes the temporary file with a fresh name that nothing else holds. 0 or the errno.
// A save cut short leaves its temporary file. One is stale once nobody holds it (a save in
// progress keeps it locked) and its last change is older than `age` (a save takes a moment
// between creating it and locking it; a swap into place also counts as a change).
void RemoveStale(int dir, std::chrono::seconds age) {
    const int copy = ::dup(dir); // closedir closes it
    DIR* entries = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!entries) {
        if (copy >= 0)
            ::close(copy);
        return;
    }
    const auto now = std::chrono::system_clock::now();
    while (const dirent* entry = ::readdir(entries)) {
        const std::string_view name(entry->d_name);
        if (name.substr(0, sizeof kTempPrefix - 1) != kTempPrefix)
            continue;
        struct stat st {};
        if (::fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        const auto changed = std::chrono::system_clock::time_point(
            std::chrono::seconds(st.st_ctim.tv_sec) +
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
        if (now - changed < age)
            continue;
        const Fd file(::openat(dir, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file && ::flock(file.get(), LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(dir, entry->d_name, 0);
    }
    ::closedir(entries);
}

int CreateTemp(int dir, QByteArray* name, Fd* fd) {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = kTempPrefix;
        for (int i = 0; i < kTempRandomChars; ++i)
            *name += kChars[QRandomGenerator::global()->bounded(int{sizeof kChars - 1})];
        if (Injected(SaveStep::Create))
            return errno;
        *fd = Fd(::openat(dir, name->constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (*fd)
            return 0;
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// 0 or the errno.
int WriteAll(int fd, const SettingsBytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            Injected(SaveStep::Write) ? -1 : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return ENOSPC; // no progress: the device is full
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// Removes the temporary name when a save ends, whatever it then holds: the new bytes after
// a failure, the old file after a successful swap.
struct TempName {
    int dir = -1;
    QByteArray name{};
    bool linked = false;
    ~TempName() {
        if (linked)
            ::unlinkat(dir, name.constData(), 0); // leftovers are hidden and never listed
    }
};

} // namespace

void FailSaveStepForTesting(SaveStep step, int error) {
    g_failStep = step;
    g_failError = error;
}

SettingsStore::SettingsStore(QString folder)
    : folder_(QDir::isAbsolutePath(folder) ? QDir::cleanPath(folder) : QString()) {
    // The folder may not exist yet; it would be made in its parent, on the same file system.
    long limit = -1;
    if (!folder_.isEmpty())
        limit = ::pathconf(QFile::encodeName(folder_).constData(), _PC_NAME_MAX);
    if (!folder_.isEmpty() && limit <= 0)
        limit = ::pathconf(QFile::encodeName(ParentOf(folder_)).constData(), _PC_NAME_MAX);
    if (limit <= 0)
        limit = NAME_MAX;
    maxNameBytes_ =
        limit < kTempNameBytes
            ? 0
            : static_cast<int>(std::min<long>(kMaxSettingNameBytes, limit - kExtension.size()));
}

SettingsStore SettingsStore::InWorkingDirectory() {
    // Not QDir::currentPath(): it gives "" once the directory is removed, and "" + "/cfg"
    // is a folder at the root.
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd))
        return SettingsStore(QString());
    return SettingsStore(QFile::decodeName(cwd) + QStringLiteral("/cfg"));
}

QString SettingsStore::PathOf(const QString& name) const {
    return (folder_.isEmpty() ? QStringLiteral("cfg") : folder_) + QLatin1Char('/') + name +
           kExtension;
}

namespace {
// Characters that show nothing or change the direction of what follows: a name holding one
// looks like another name in every list.
bool IsInvisible(QChar c) {
    const char16_t u = c.unicode();
    return u == 0x061C || (u >= 0x200B && u <= 0x200F) || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2060 && u <= 0x2064) || (u >= 0x2066 && u <= 0x2069) || u == 0xFEFF;
}
} // namespace

std::optional<QString> SettingsStore::UnsafeNameReason(const QString& name) const {
    if (auto reason = UnreadableNameReason(name))
        return reason;
    if (std::any_of(name.begin(), name.end(), IsInvisible))
        return QStringLiteral("A setting name cannot contain invisible characters or ones that "
                              "change the direction of the text.");
    return std::nullopt;
}

std::optional<QString> SettingsStore::UnreadableNameReason(const QString& name) const {
    if (name.trimmed().isEmpty())
        return QStringLiteral("A setting name cannot be empty or only spaces.");
    if (std::any_of(name.begin(), name.end(), IsControl))
        return QStringLiteral("A setting name cannot contain control characters.");
    if (HasUnpairedSurrogate(name))
        return QStringLiteral("The setting name contains an invalid character.");
    static const QString kRefused = QStringLiteral("/\\:*?\"<>|");
    if (std::any_of(name.begin(), name.end(), [](QChar c) { return kRefused.contains(c); }))
        return QStringLiteral("A setting name cannot contain any of these characters: "
                              "/ \\ : * ? \" < > |");
    if (name.contains(QLatin1String("..")))
        return QStringLiteral("A setting name cannot contain \"..\".");
    if (name.endsWith(QLatin1Char(' ')) || name.endsWith(QLatin1Char('.')))
        return QStringLiteral("A setting name cannot end with a space or a dot.");
    if (IsReservedDeviceName(name))
        return QStringLiteral("\"%1\" is reserved for a device on Windows and cannot be a "
                              "setting name.")
            .arg(name);
    if (name.toUtf8().size() > maxNameBytes_)
        return QStringLiteral("The setting name is too long (at most %1 bytes in UTF-8; "
                              "letters outside plain ASCII take 2 to 4 each).")
            .arg(maxNameBytes_);
    return std::nullopt;
}

QStringList SettingsStore::List() const {
    QString why;
    Fd dir = OpenFolder(folder_, false, &why);
    DIR* entries = dir ? ::fdopendir(dir.get()) : nullptr;
    if (!entries)
        return {};
    const int fd = dir.Release(); // closedir closes it
    QStringList names;
    while (const dirent* entry = ::readdir(entries)) {
        // The listing's own type spares opening what is surely not a file.
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN)
            continue;
        const QByteArray file(entry->d_name);
        const QString name = QFile::decodeName(file);
        // Case-sensitive, and only names that encode back to the same bytes: anything else
        // would list a name whose path does not exist here.
        if (!name.endsWith(kExtension, Qt::CaseSensitive) || QFile::encodeName(name) != file)
            continue;
        const QString setting = name.chopped(kExtension.size());
        if (UnreadableNameReason(setting))
            continue;
        const Opened f = OpenRegular(fd, file);
        QByteArray bytes;
        if (!f.fd || ReadRecord(f.fd.get(), &bytes) != 0 ||
            static_cast<std::size_t>(bytes.size()) < kSettingsFileSize ||
            !HasSettingsHeader(AsBytes(bytes)))
            continue;
        names.append(setting);
    }
    ::closedir(entries);
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int ci = QString::compare(a, b, Qt::CaseInsensitive);
        return ci != 0 ? ci < 0 : QString::compare(a, b, Qt::CaseSensitive) < 0;
    });
    return names;
}

SettingsStore::Occupant SettingsStore::At(const QString& name) const {
    if (UnreadableNameReason(name))
        return Occupant::Nothing;
    QString why;
    const Fd dir = OpenFolder(folder_, false, &why);
    if (!dir)
        return Occupant::Nothing;
    struct stat st {};
    if (::fstatat(dir.get(), FileName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Occupant::Nothing : Occupant::Other;
    return S_ISREG(st.st_mode) ? Occupant::Setting : Occupant::Other;
}

void SettingsStore::RemoveStaleTemporaryFiles(std::chrono::seconds age) const {
    QString why;
    if (const Fd dir = OpenFolder(folder_, false, &why))
        RemoveStale(dir.get(), age);
}

SaveResult SettingsStore::Write(const QString& name, const SettingsBytes& bytes) const {
    const QString path = PathOf(name);
    const auto fail = [&path](const QString& why) {
        return SaveResult{false, CannotSave(path, why)};
    };
    if (const auto reason = UnsafeNameReason(name))
        return fail(*reason);
    QString why;
    const Fd dir = OpenFolder(folder_, true, &why);
    if (!dir)
        return fail(why);
    const int d = dir.get();
    const QByteArray file = FileName(name);
    struct stat old {};
    const bool replacing = ::fstatat(d, file.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!replacing && errno != ENOENT)
        return fail(Reason(errno));
    if (replacing && !S_ISREG(old.st_mode))
        return fail(QStringLiteral("the name is taken by %1, which is left as it is; choose "
                                   "another name.")
                        .arg(KindOf(old.st_mode)));

    RemoveStale(d, kStaleTempAge);
    TempName temp{d};
    Fd out;
    if (const int e = CreateTemp(d, &temp.name, &out))
        return fail(Reason(e));
    temp.linked = true;
    const char* tmp = temp.name.constData();
    // Held until the save is over: a cleaner never takes a temporary file someone holds.
    const Fd held(::openat(d, tmp, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (held)
        ::flock(held.get(), LOCK_EX);
    // A replaced setting keeps its permissions.
    if (replacing && ::fchmod(out.get(), old.st_mode & 07777) != 0)
        return fail(Reason(errno));
    if (const int e = WriteAll(out.get(), bytes))
        return fail(Reason(e));
    if (Injected(SaveStep::SyncFile) || ::fsync(out.get()) != 0)
        return fail(Reason(errno));
    // close() may be the first to hear of a failed write-back (network file systems).
    const int closed = ::close(out.Release());
    if (Injected(SaveStep::Close) || closed != 0)
        return fail(Reason(errno));

    // Swapping keeps the old file under the temporary name until the folder is synced, so
    // a failure there can still put it back. File systems without the swap get a rename.
    bool swapped = false;
    int error = 0;
    if (Injected(SaveStep::Rename))
        error = errno;
    else if (replacing && ::renameat2(d, tmp, d, file.constData(), RENAME_EXCHANGE) == 0)
        swapped = true;
    else if ((!replacing || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) &&
             ::renameat(d, tmp, d, file.constData()) == 0)
        temp.linked = false;
    else
        error = errno;
    if (error != 0)
        return fail(Reason(error));

    if (Injected(SaveStep::SyncFolder) || ::fsync(d) != 0) {
        error = errno;
        if (!swapped && replacing)
            return fail(Reason(error) + QStringLiteral(" The new setting has replaced the old "
                                                       "one but may not survive a power cut."));
        if (!replacing)
            ::unlinkat(d, file.constData(), 0);
        else if (::renameat2(d, tmp, d, file.constData(), RENAME_EXCHANGE) != 0)
            temp.linked = false; // the old file is now only under the temporary name: keep it
        return fail(Reason(error));
    }
    return {true, {}};
}

LoadResult SettingsStore::Read(const QString& name) const {
    LoadResult result;
    const QString path = PathOf(name);
    const QString missing = QStringLiteral("setting '%1' not found: no file %2").arg(name, path);
    if (const auto reason = UnreadableNameReason(name)) {
        result.error = CannotRead(path, *reason);
        return result;
    }
    QString why;
    int failure = 0;
    Fd dir;
    if (Injected(ReadStep::OpenFolder)) {
        failure = errno;
        why =
            QStringLiteral("the folder \"%1\" cannot be opened: %2").arg(folder_, Reason(failure));
    } else {
        dir = OpenFolder(folder_, false, &why, &failure);
    }
    // A folder that is there but cannot be read hides nothing: its reason is said.
    const Opened f = dir ? OpenRegular(dir.get(), FileName(name)) : Opened{Fd(), failure, 0};
    if (f.error == ENOENT) {
        result.error = missing;
        return result;
    }
    result.status = LoadStatus::Unreadable;
    QByteArray bytes;
    if (!dir) {
        result.error = CannotRead(path, why);
        return result;
    }
    if (!f.fd) {
        result.error = CannotRead(path, f.error != 0 ? Reason(f.error)
                                                     : QStringLiteral("it is %1, not a regular "
                                                                      "file.")
                                                           .arg(KindOf(f.mode)));
        return result;
    }
    if (const int e = ReadRecord(f.fd.get(), &bytes)) {
        result.error = CannotRead(path, Reason(e));
        return result;
    }
    auto data = DecodeSettings(AsBytes(bytes));
    if (!data) {
        result.status = LoadStatus::Invalid;
        result.error = QStringLiteral("%1.vmc is not a Velomire Configuration file: %2")
                           .arg(name, bytes.size() < static_cast<qsizetype>(kSettingsFileSize)
                                          ? QStringLiteral("the file is too short.")
                                          : QStringLiteral("the file has no valid header."));
        return result;
    }
    result.status = LoadStatus::Ok;
    result.data = *data;
    return result;
}

void FailReadStepForTesting(ReadStep step, int error) {
    g_failReadStep = step;
    g_failReadError = error;
}

} // namespace velomire

#include "session/stage_lock.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace velomire {

namespace {

// $XDG_RUNTIME_DIR when it is an absolute path, else /tmp/velomire-UID, made for this user
// alone: a folder others can write to would let them take or fake the lock.
QString LockFolder(const QString& runtimeDir, QString* why) {
    if (runtimeDir.startsWith(QLatin1Char('/')))
        return runtimeDir;
    const QString folder = QStringLiteral("/tmp/velomire-%1").arg(::getuid());
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return {};
    }
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 0077) != 0) {
        *why = QStringLiteral("%1 is not a folder of this user's alone").arg(folder);
        return {};
    }
    return folder;
}

} // namespace

StageLock::StageLock(StageLock&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

StageLock& StageLock::operator=(StageLock&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

StageLock::~StageLock() {
    if (fd_ >= 0)
        ::close(fd_); // and with it the lock
}

StageLock::Taken StageLock::Take(const QString& settingFile, const QString& runtimeDir) {
    Taken taken;
    QString why;
    const QString folder = LockFolder(runtimeDir, &why);
    const QString canonical = QFileInfo(settingFile).canonicalFilePath();
    if (folder.isEmpty() || canonical.isEmpty()) {
        taken.warning =
            QStringLiteral("cannot tell whether another Velomire plays this setting: %1")
                .arg(why.isEmpty() ? QStringLiteral("no lock folder") : why);
        return taken;
    }
    const QByteArray key =
        QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    const QByteArray path = QFile::encodeName(folder + QStringLiteral("/velomire-stage-") +
                                              QString::fromLatin1(key) + QStringLiteral(".lock"));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        taken.warning =
            QStringLiteral("cannot tell whether another Velomire plays this setting: "
                           "%1: %2")
                .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
        return taken;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char buffer[32] = {};
        const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
        const QString pid = QString::fromLatin1(buffer, n > 0 ? static_cast<int>(n) : 0).trimmed();
        ::close(fd);
        taken.refusal = pid.isEmpty() ? QStringLiteral("process unknown")
                                      : QStringLiteral("process %1").arg(pid);
        return taken;
    }
    const QByteArray pid = QByteArray::number(static_cast<qint64>(::getpid())) + '\n';
    // Held all the same when this fails; only the process id in a refusal would be missing.
    [[maybe_unused]] const bool written =
        ::ftruncate(fd, 0) == 0 &&
        ::pwrite(fd, pid.constData(), static_cast<std::size_t>(pid.size()), 0) == pid.size();
    taken.lock.emplace(StageLock(fd));
    return taken;
}

} // namespace velomire

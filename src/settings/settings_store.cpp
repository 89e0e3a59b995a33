#include "settings/settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace velomire {
namespace {

const QString kExtension = QStringLiteral(".vmc");

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

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

QString CannotSave(const QString& path, const QString& why) {
    return QStringLiteral("Cannot save \"%1\": %2").arg(Native(path), why);
}

QString CannotRead(const QString& path, const QString& why) {
    return QStringLiteral("Cannot read \"%1\": %2").arg(Native(path), why);
}

// Reads at most one record's worth: every byte after it is ignored by the decoder anyway, and
// a stray huge file must not be pulled into memory.
std::optional<QByteArray> ReadRecord(const QString& path, QString* error) {
    const QFileInfo info(path);
    if (!info.isFile()) {
        if (error)
            *error = CannotRead(path, QStringLiteral("it is not a regular file."));
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = CannotRead(path, file.errorString());
        return std::nullopt;
    }
    QByteArray bytes = file.read(static_cast<qint64>(kSettingsFileSize));
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = CannotRead(path, file.errorString());
        return std::nullopt;
    }
    return bytes;
}

std::span<const std::uint8_t> AsBytes(const QByteArray& a) {
    return {reinterpret_cast<const std::uint8_t*>(a.constData()),
            static_cast<std::size_t>(a.size())};
}

} // namespace

QString SettingsFolder() {
    return QDir::currentPath() + QStringLiteral("/cfg");
}

QString SettingsPath(const QString& name) {
    return SettingsFolder() + QLatin1Char('/') + name + kExtension;
}

std::optional<QString> UnsafeNameReason(const QString& name) {
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
    if (name.toUtf8().size() > kMaxSettingNameBytes)
        return QStringLiteral("The setting name is too long (at most %1 bytes in UTF-8; "
                              "letters outside plain ASCII take 2 to 4 each).")
            .arg(kMaxSettingNameBytes);
    return std::nullopt;
}

QStringList ListSettings() {
    const QDir dir(SettingsFolder());
    if (!dir.exists())
        return {};
    // Hidden files too: the empty name is stored as ".vmc".
    const QStringList files =
        dir.entryList({QStringLiteral("*") + kExtension},
                      QDir::Files | QDir::Hidden | QDir::CaseSensitive, QDir::NoSort);
    QStringList names;
    for (const QString& file : files) {
        // Case-sensitive again: a "Foo.VMC" would list a name whose path does not exist here.
        if (!file.endsWith(kExtension, Qt::CaseSensitive))
            continue;
        const QString name = file.chopped(kExtension.size());
        if (UnsafeNameReason(name))
            continue;
        const auto bytes = ReadRecord(dir.filePath(file), nullptr);
        if (!bytes || static_cast<std::size_t>(bytes->size()) < kSettingsFileSize ||
            !HasSettingsHeader(AsBytes(*bytes)))
            continue;
        names.append(name);
    }
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int ci = QString::compare(a, b, Qt::CaseInsensitive);
        return ci != 0 ? ci < 0 : QString::compare(a, b, Qt::CaseSensitive) < 0;
    });
    return names;
}

bool SettingsFileExists(const QString& name) {
    if (UnsafeNameReason(name))
        return false;
    // QFileInfo::exists follows links; a dangling link still occupies the name.
    const QFileInfo info(SettingsPath(name));
    return info.exists() || info.isSymLink();
}

SaveResult WriteSettingsFile(const QString& name, const SettingsBytes& bytes) {
    const QString path = SettingsPath(name);
    if (const auto reason = UnsafeNameReason(name))
        return {false, CannotSave(path, *reason)};

    const QString folder = SettingsFolder();
    if (!QDir().mkpath(folder)) {
        const QFileInfo info(folder);
        const QString why =
            info.exists() && !info.isDir()
                ? QStringLiteral("\"%1\" exists but is not a folder.").arg(Native(folder))
                : QStringLiteral("the folder \"%1\" could not be created.").arg(Native(folder));
        return {false, CannotSave(path, why)};
    }

    // QSaveFile writes beside the target and renames it into place on commit, so a failed
    // or interrupted save never leaves a half-written setting behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {false, CannotSave(path, file.errorString())};
    const auto size = static_cast<qint64>(bytes.size());
    if (file.write(reinterpret_cast<const char*>(bytes.data()), size) != size) {
        const QString why = file.errorString();
        file.cancelWriting();
        return {false, CannotSave(path, why)};
    }
    if (!file.commit())
        return {false, CannotSave(path, file.errorString())};
    return {true, {}};
}

LoadResult ReadSettingsFile(const QString& name) {
    LoadResult result;
    const QString path = SettingsPath(name);
    if (const auto reason = UnsafeNameReason(name)) {
        result.error = CannotRead(path, *reason);
        return result;
    }
    const QFileInfo info(path);
    if (!info.exists())
        return result;

    result.status = LoadStatus::Invalid;
    const auto bytes = ReadRecord(path, &result.error);
    if (!bytes)
        return result;
    auto data = DecodeSettings(AsBytes(*bytes));
    if (!data) {
        result.error = CannotRead(path, bytes->size() < static_cast<qsizetype>(kSettingsFileSize)
                                            ? QStringLiteral("the file is too short.")
                                            : QStringLiteral("the file has no valid header."));
        return result;
    }
    result.status = LoadStatus::Ok;
    result.data = *data;
    return result;
}

} // namespace velomire

#include "core/settings/settings_codec.h"

#include <QByteArray>

#include <algorithm>
#include <bit>
#include <cmath>

namespace velomire {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic{'V', 'M', 'C', '1'};
constexpr std::size_t kInDeviceOffset = 5;
constexpr std::size_t kOutDeviceOffset = kInDeviceOffset + kDeviceNameBytes;
constexpr std::size_t kActiveNoteOffset = kOutDeviceOffset + kDeviceNameBytes;
constexpr std::size_t kChannelsOffset = kActiveNoteOffset + 1;
constexpr int kStoredChannels = 16;
constexpr int kLastNoteIndex = kNoteTableSize - 1;
constexpr std::uint8_t kFallbackActiveNote = 60;

static_assert(kChannelsOffset + kStoredChannels == kNoteRecordsOffset);
static_assert(kNoteRecordsOffset + kStoredNotes * kNoteRecordBytes == kSettingsFileSize);

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves undefined map to their
// Latin-1 value, as Windows itself converts them, so such a name still reads the same.
constexpr std::array<char16_t, 32> kCp1252High{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::span<const std::uint8_t> s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::uint8_t b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint8_t lo = 0x80;
        std::uint8_t hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0)
                lo = 0xA0; // overlong
            else if (b == 0xED)
                hi = 0x9F; // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0)
                lo = 0x90; // overlong
            else if (b == 0xF4)
                hi = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (s.size() - i < len)
            return false;
        if (s[i + 1] < lo || s[i + 1] > hi)
            return false;
        for (std::size_t k = 2; k < len; ++k)
            if (s[i + k] < 0x80 || s[i + k] > 0xBF)
                return false;
        i += len;
    }
    return true;
}

QString DecodeCp1252(std::span<const std::uint8_t> s) {
    QString out;
    out.reserve(static_cast<qsizetype>(s.size()));
    for (const std::uint8_t b : s)
        out.append(QChar(b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : char16_t{b}));
    return out;
}

class Writer {
public:
    explicit Writer(SettingsBytes& out) : out_(out) {}
    void U8(std::uint8_t v) { out_[pos_++] = v; }
    void U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v & 0xFF));
        U8(static_cast<std::uint8_t>(v >> 8));
    }
    void U64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i)
            U8(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
    }
    template <std::size_t N> void Bytes(const std::array<std::uint8_t, N>& a) {
        for (const std::uint8_t b : a)
            U8(b);
    }

private:
    SettingsBytes& out_;
    std::size_t pos_ = 0;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}
    std::uint8_t U8() { return in_[pos_++]; }
    std::uint16_t U16() {
        const std::uint16_t lo = U8();
        const std::uint16_t hi = U8();
        return static_cast<std::uint16_t>(lo | (hi << 8));
    }
    std::uint64_t U64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= std::uint64_t{U8()} << (8 * i);
        return v;
    }
    template <std::size_t N> void Bytes(std::array<std::uint8_t, N>& a) {
        for (std::uint8_t& b : a)
            b = U8();
    }

private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
};

std::uint8_t AtMost127(std::uint8_t v) {
    return std::min<std::uint8_t>(v, kMaxVelocity);
}

} // namespace

DeviceNameField EncodeDeviceName(const QString& name) {
    DeviceNameField field;
    field.fill(' ');
    const QByteArray utf8 = name.toUtf8();
    std::size_t len = std::min(static_cast<std::size_t>(utf8.size()), kDeviceNameBytes);
    // Back off continuation bytes so a cut never leaves half a character behind.
    if (len < static_cast<std::size_t>(utf8.size()))
        while (len > 0 &&
               (static_cast<std::uint8_t>(utf8[static_cast<qsizetype>(len)]) & 0xC0) == 0x80)
            --len;
    std::copy_n(reinterpret_cast<const std::uint8_t*>(utf8.constData()), len, field.begin());
    return field;
}

QString DecodeDeviceName(const DeviceNameField& field) {
    if (IsValidUtf8(field))
        return QString::fromUtf8(reinterpret_cast<const char*>(field.data()),
                                 static_cast<qsizetype>(field.size()));
    return DecodeCp1252(field);
}

SettingsBytes EncodeSettings(const SettingsData& data) {
    SettingsBytes out{};
    Writer w(out);
    w.Bytes(kMagic);
    w.U8(kSettingsVersion);
    w.Bytes(data.indevice);
    w.Bytes(data.outdevice);
    w.U8(data.activenote);
    w.Bytes(data.channels);
    for (const NoteSetting& n : data.notes) {
        w.U8(n.outnote);
        w.U16(static_cast<std::uint16_t>(n.selected));
        w.U64(std::bit_cast<std::uint64_t>(n.exp));
        w.U8(n.vcut);
        w.U8(n.vmax);
    }
    return out;
}

bool HasSettingsHeader(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= kMagic.size() + 1 &&
           std::equal(kMagic.begin(), kMagic.end(), bytes.begin()) &&
           bytes[kMagic.size()] == kSettingsVersion;
}

std::optional<SettingsData> DecodeSettings(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kSettingsFileSize || !HasSettingsHeader(bytes))
        return std::nullopt;
    Reader body(bytes.subspan(kInDeviceOffset, kSettingsFileSize - kInDeviceOffset));
    SettingsData d;
    body.Bytes(d.indevice);
    body.Bytes(d.outdevice);

    d.activenote = body.U8();
    if (d.activenote > kLastNoteIndex)
        d.activenote = kFallbackActiveNote;

    body.Bytes(d.channels);
    for (int c = 0; c < kStoredChannels; ++c)
        if (d.channels[c] >= kStoredChannels)
            d.channels[c] = static_cast<std::uint8_t>(c);

    for (int n = 0; n < kStoredNotes; ++n) {
        NoteSetting& s = d.notes[n];
        s.outnote = body.U8();
        if (s.outnote > kMaxVelocity)
            s.outnote = static_cast<std::uint8_t>(n);
        // Kept as stored: only -1 shows a mark, any non-zero value counts for spreading.
        s.selected = static_cast<std::int16_t>(body.U16());
        s.exp = std::bit_cast<double>(body.U64());
        if (!std::isfinite(s.exp) || s.exp <= 0.0)
            s.exp = 1.0;
        s.vcut = AtMost127(body.U8());
        s.vmax = AtMost127(body.U8());
    }
    return d;
}

QString TrimSpaces(const QString& s) {
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && s[b] == QLatin1Char(' '))
        ++b;
    while (e > b && s[e - 1] == QLatin1Char(' '))
        --e;
    return s.mid(b, e - b);
}

bool DeviceNameMatches(const QString& listEntry, const DeviceNameField& stored) {
    return TrimSpaces(listEntry) == TrimSpaces(DecodeDeviceName(stored));
}

} // namespace velomire

#pragma once

#include "core/velocity/note_table.h"

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace velomire {

// A settings file is a fixed 1814-byte little-endian record:
//   0  "VMC1"   4  version 1   5  MIDI IN name (64)   69  MIDI OUT name (64)
//   133 active note   134 channel table (16)   150 note records 0..127 (13 bytes each)
constexpr std::size_t kSettingsFileSize = 1814;
constexpr std::size_t kDeviceNameBytes = 64;
constexpr int kStoredNotes = 128;
constexpr std::size_t kNoteRecordBytes = 13;
constexpr std::size_t kNoteRecordsOffset = 150;
constexpr std::uint8_t kSettingsVersion = 1;

using DeviceNameField = std::array<std::uint8_t, kDeviceNameBytes>;

// UTF-8, cut to at most 64 bytes without splitting a character, padded with spaces.
DeviceNameField EncodeDeviceName(const QString& name);
// UTF-8 when the field is valid UTF-8, else Windows-1252 (older files were written in the
// Windows code page). Padding is kept; callers compare trimmed texts. NUL bytes are kept as
// U+0000, so an all-NUL field matches no device name.
QString DecodeDeviceName(const DeviceNameField& field);

struct SettingsData {
    DeviceNameField indevice{}; // all NUL until the first save or load
    DeviceNameField outdevice{};
    std::uint8_t activenote = 0;
    std::array<std::uint8_t, 16> channels{};
    std::array<NoteSetting, kStoredNotes> notes{};

    friend bool operator==(const SettingsData&, const SettingsData&) = default;
};

using SettingsBytes = std::array<std::uint8_t, kSettingsFileSize>;

SettingsBytes EncodeSettings(const SettingsData& data);

// Device names are matched with spaces trimmed at both ends, case-sensitively.
QString TrimSpaces(const QString& s);
bool DeviceNameMatches(const QString& listEntry, const DeviceNameField& stored);

// Magic "VMC1" (case-sensitive) + version byte 1 in the first 5 bytes.
bool HasSettingsHeader(std::span<const std::uint8_t> bytes);

// Whole-file check: nullopt when shorter than kSettingsFileSize or the header is wrong; bytes
// past kSettingsFileSize are ignored. Values only a damaged file can hold are made safe:
//   active note above 128          -> 60
//   channel entry above 15         -> its own index (no remapping)
//   outnote above 127              -> the record's own note number
//   selected                       -> kept as stored (only -1 marks a key)
//   exp not a finite positive number -> 1.0
//   vcut / vmax above 127          -> 127
// Never throws.
std::optional<SettingsData> DecodeSettings(std::span<const std::uint8_t> bytes);

} // namespace velomire

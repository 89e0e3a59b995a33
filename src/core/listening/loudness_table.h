#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velomire {

// What a measuring run heard: for each key (the input note the player presses) and each
// velocity played, the highest momentary loudness of its sound in LUFS. A key that was
// played but gave no sound holds kSilent; one not (yet) played holds nothing.
class LoudnessTable {
public:
    static constexpr double kSilent = -1.0e9;
    static constexpr int kMaxVelocities = 8;

    LoudnessTable() = default;
    // Velocities are sorted and made unique; values outside 1..127 and any beyond
    // kMaxVelocities are dropped.
    explicit LoudnessTable(std::vector<int> velocities);

    const std::vector<int>& Velocities() const { return velocities_; }
    int VelocityCount() const { return static_cast<int>(velocities_.size()); }
    int IndexOf(int velocity) const; // -1 when not in the table

    // Keys outside 0..127 or indexes outside the velocities are ignored / read as nothing.
    void Set(int key, int velocityIndex, double lufs);
    void Clear(int key, int velocityIndex);
    std::optional<double> At(int key, int velocityIndex) const;
    bool Sounded(int key, int velocityIndex) const;
    // Keys with at least one measurement, ascending.
    std::vector<int> Keys() const;
    bool Empty() const;

    // A small text file a person can read and diff:
    //   # comment lines
    //   velocities 32 64 96 127
    //   60 C4 -23.41 -18.20 silent -
    // ("-" not measured, "silent" played without sound).
    std::string ToText() const;
    // Nothing for text that is not such a table.
    static std::optional<LoudnessTable> FromText(std::string_view text);

private:
    std::vector<int> velocities_;
    // NaN: not measured.
    std::array<std::array<double, kMaxVelocities>, 128> lufs_ = Unmeasured();

    static std::array<std::array<double, kMaxVelocities>, 128> Unmeasured();
};

} // namespace velomire

#include "core/listening/loudness_table.h"

#include "core/keyboard/note_names.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>

namespace velomire {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool ValidKey(int key) {
    return key >= 0 && key < 128;
}

} // namespace

std::array<std::array<double, LoudnessTable::kMaxVelocities>, 128> LoudnessTable::Unmeasured() {
    std::array<std::array<double, kMaxVelocities>, 128> all{};
    for (auto& row : all) {
        row.fill(kNaN);
    }
    return all;
}

LoudnessTable::LoudnessTable(std::vector<int> velocities) {
    std::erase_if(velocities, [](int v) { return v < 1 || v > 127; });
    std::sort(velocities.begin(), velocities.end());
    velocities.erase(std::unique(velocities.begin(), velocities.end()), velocities.end());
    if (velocities.size() > kMaxVelocities) {
        velocities.resize(kMaxVelocities);
    }
    velocities_ = std::move(velocities);
}

int LoudnessTable::IndexOf(int velocity) const {
    const auto it = std::find(velocities_.begin(), velocities_.end(), velocity);
    return it == velocities_.end() ? -1 : static_cast<int>(it - velocities_.begin());
}

void LoudnessTable::Set(int key, int velocityIndex, double lufs) {
    if (!ValidKey(key) || velocityIndex < 0 || velocityIndex >= VelocityCount() ||
        std::isnan(lufs)) {
        return;
    }
    lufs_[key][velocityIndex] = std::max(lufs, kSilent);
}

void LoudnessTable::Clear(int key, int velocityIndex) {
    if (ValidKey(key) && velocityIndex >= 0 && velocityIndex < VelocityCount()) {
        lufs_[key][velocityIndex] = kNaN;
    }
}

std::optional<double> LoudnessTable::At(int key, int velocityIndex) const {
    if (!ValidKey(key) || velocityIndex < 0 || velocityIndex >= VelocityCount() ||
        std::isnan(lufs_[key][velocityIndex])) {
        return std::nullopt;
    }
    return lufs_[key][velocityIndex];
}

bool LoudnessTable::Sounded(int key, int velocityIndex) const {
    const auto v = At(key, velocityIndex);
    return v && *v > kSilent;
}

std::vector<int> LoudnessTable::Keys() const {
    std::vector<int> keys;
    for (int key = 0; key < 128; ++key) {
        for (int i = 0; i < VelocityCount(); ++i) {
            if (At(key, i)) {
                keys.push_back(key);
                break;
            }
        }
    }
    return keys;
}

bool LoudnessTable::Empty() const {
    return Keys().empty();
}

std::string LoudnessTable::ToText() const {
    std::string out = "# Velomire loudness table: the highest momentary loudness (LUFS) of each "
                      "key's sound at each velocity\n";
    out += "velocities";
    for (int v : velocities_) {
        out += ' ' + std::to_string(v);
    }
    out += '\n';
    for (int key : Keys()) {
        out += std::to_string(key) + ' ' + note_num2name(key).toStdString();
        for (int i = 0; i < VelocityCount(); ++i) {
            const auto v = At(key, i);
            if (!v) {
                out += " -";
            } else if (*v <= kSilent) {
                out += " silent";
            } else {
                // Not printf: the program runs under the user's locale, the file must not.
                char buf[32];
                const auto r =
                    std::to_chars(buf, buf + sizeof buf, *v, std::chars_format::fixed, 2);
                out += ' ';
                out.append(buf, r.ptr);
            }
        }
        out += '\n';
    }
    return out;
}

std::optional<LoudnessTable> LoudnessTable::FromText(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::string line;
    std::optional<LoudnessTable> table;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (!table) {
            if (first != "velocities") {
                return std::nullopt;
            }
            std::vector<int> velocities;
            int v = 0;
            while (words >> v) {
                velocities.push_back(v);
            }
            if (!words.eof()) {
                return std::nullopt;
            }
            table.emplace(velocities);
            if (table->VelocityCount() != static_cast<int>(velocities.size())) {
                return std::nullopt;
            }
            continue;
        }
        int key = -1;
        try {
            std::size_t used = 0;
            key = std::stoi(first, &used);
            if (used != first.size()) {
                return std::nullopt;
            }
        } catch (const std::exception&) {
            return std::nullopt;
        }
        std::string name;
        words >> name; // the note's name is for people
        if (!ValidKey(key) || name.empty()) {
            return std::nullopt;
        }
        for (int i = 0; i < table->VelocityCount(); ++i) {
            std::string word;
            if (!(words >> word)) {
                return std::nullopt;
            }
            if (word == "-") {
                continue;
            }
            if (word == "silent") {
                table->Set(key, i, kSilent);
                continue;
            }
            double v = 0;
            const auto r = std::from_chars(word.data(), word.data() + word.size(), v);
            if (r.ec != std::errc() || r.ptr != word.data() + word.size() || !std::isfinite(v)) {
                return std::nullopt;
            }
            table->Set(key, i, v);
        }
    }
    return table;
}

} // namespace velomire

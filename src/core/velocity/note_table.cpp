#include "core/velocity/note_table.h"

#include <cfenv>
#include <cmath>

namespace velomire {

double RoundHalfEven(double v) {
    // std::nearbyint honours the current rounding mode, which is to-nearest-even unless
    // somebody changed it; std::round would round halves away from zero.
    return std::nearbyint(v);
}

std::uint8_t MapVelocity(int velocity, double exp, int vcut, int vmax) {
    if (velocity < vcut)
        return 0;
    if (!std::isfinite(exp) || exp <= 0.0)
        exp = 1.0;
    if (vmax > kMaxVelocity)
        vmax = kMaxVelocity;
    if (vmax <= 0 || velocity <= 0)
        return 0;
    // Dividing by 128 (not 127) is what makes 127 map to 126 for exp 2.
    double t = std::floor(128.0 * std::pow(velocity / 128.0, exp));
    // A tiny exponent can lift t to 128, which would scale past vmax.
    if (t > kMaxVelocity)
        t = kMaxVelocity;
    const double out = RoundHalfEven(vmax * t / kMaxVelocity);
    return static_cast<std::uint8_t>(out < 0 ? 0 : (out > kMaxVelocity ? kMaxVelocity : out));
}

void SetKeyStartupValues(NoteSetting& s, int note) {
    s.selected = kFalse;
    s.exp = 1.0;
    s.outnote = static_cast<std::uint8_t>(note);
    s.vcut = 0;
    s.vmax = kMaxVelocity;
}

} // namespace velomire

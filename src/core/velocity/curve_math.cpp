#include "core/velocity/curve_math.h"

#include <algorithm>
#include <cmath>

namespace velomire {

std::array<CurvePoint, kCurvePoints + 1> CurvePolyline(const NoteSetting& s, double w, double h) {
    std::array<CurvePoint, kCurvePoints + 1> points{};
    // Output 0 sits on the last pixel row, not one below the view, so a cut-off shows as
    // the stretch along the bottom edge.
    const double bottom = h - 1.0;
    points[0] = {0.0, bottom};
    // t is accumulated, not computed as i * 0.002: the last point lands where the sum does.
    double t = 0.0;
    for (int i = 1; i <= kCurvePoints; ++i) {
        const int v = static_cast<int>(RoundHalfEven(127.0 * t));
        const int out = MapVelocity(v, s);
        points[static_cast<std::size_t>(i)] = {w * t, std::min(h - h * out / 128.0, bottom)};
        t += 0.002;
    }
    return points;
}

PointerOnCurve PointerAt(float x, float y, float w, float h, int vmax) {
    PointerOnCurve p;
    if (w <= 0 || h <= 0)
        return p;
    p.xn = x / w;
    p.yn = 1.0f - y / h;
    if (vmax <= 0)
        return p;
    p.yr = p.yn * 127.0f / static_cast<float>(vmax);
    p.inside = p.xn > 0.0f && p.xn < 1.0f && p.yr > 0.0f && p.yr < 1.0f;
    return p;
}

bool EditAtPointer(NoteSetting& s, const PointerOnCurve& p) {
    if (!p.inside)
        return false;
    bool lowered = false;
    const float scaled = p.xn * 127.0f;
    if (scaled < static_cast<float>(s.vcut)) {
        s.vcut = static_cast<std::uint8_t>(RoundHalfEven(scaled));
        lowered = true;
    }
    // Both logarithms are negative inside, so the exponent is positive and finite.
    s.exp = std::log(static_cast<double>(p.yr)) / std::log(static_cast<double>(p.xn));
    return lowered;
}

QString FormatSigned(long long v) {
    return v < 0 ? QString::number(v) : QStringLiteral(" ") + QString::number(v);
}

QString CurveTooltip(float xn, const NoteSetting& s) {
    const float scaled = xn * 127.0f;
    // The shown input is truncated, the mapped one rounded: 63.5 shows 63, maps 64.
    const auto shown = static_cast<long long>(std::floor(scaled));
    const int v = static_cast<int>(RoundHalfEven(scaled));
    return FormatSigned(shown) + QStringLiteral("->") + FormatSigned(MapVelocity(v, s));
}

QString FormatGeneral(double v, const QLocale& locale) {
    QLocale l = locale;
    l.setNumberOptions(QLocale::OmitGroupSeparator);
    return l.toString(v, 'g', 15);
}

QString FormatExponent(double v, const QLocale& locale) {
    QLocale l = locale;
    l.setNumberOptions(QLocale::OmitGroupSeparator);
    // Below 0.1, and from 10,000 on, three significant digits (1e+308 for 1e308): the label
    // holds nine characters, and a number cut short would say another.
    if (!std::isfinite(v) || std::fabs(v) < 0.1 || std::fabs(v) >= 1e4)
        return l.toString(v, 'g', 3);
    QString text = l.toString(v, 'f', 3);
    const QString point = l.decimalPoint();
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(point))
        text.chop(point.size());
    return text;
}

void ResetAll(NoteTable& notes) {
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        NoteSetting& s = notes[static_cast<std::size_t>(k)];
        s.exp = 1.0;
        s.vmax = kMaxVelocity;
        s.vcut = 0;
    }
}

void ResetActive(NoteTable& notes, int active) {
    if (active >= 0 && active < kNoteTableSize)
        notes[static_cast<std::size_t>(active)].exp = 1.0;
}

void CopyToAll(NoteTable& notes, int active) {
    if (active < 0 || active >= kNoteTableSize)
        return;
    const NoteSetting from = notes[static_cast<std::size_t>(active)];
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        NoteSetting& s = notes[static_cast<std::size_t>(k)];
        s.exp = from.exp;
        s.vcut = from.vcut;
        s.vmax = from.vmax;
    }
}

namespace {
std::uint8_t ClampByte(double v) {
    v = RoundHalfEven(v);
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

void SpreadPair(NoteTable& notes, int i, int j) {
    const NoteSetting a = notes[static_cast<std::size_t>(i)];
    const NoteSetting b = notes[static_cast<std::size_t>(j)];
    const double ai = std::atan(a.exp);
    const double aj = std::atan(b.exp);
    const double span = j - i;
    const double s = (aj - ai) / span;
    const double dcut = static_cast<double>(b.vcut) - a.vcut;
    const double dmax = static_cast<double>(b.vmax) - a.vmax;
    for (int k = i; k <= j; ++k) {
        const double f = (k - i) / span;
        NoteSetting& n = notes[static_cast<std::size_t>(k)];
        n.exp = std::tan(ai + s * (k - i));
        n.vcut = ClampByte(a.vcut + dcut * f);
        n.vmax = ClampByte(a.vmax + dmax * f);
    }
}
} // namespace

void SpreadVelocity(NoteTable& notes) {
    int previous = -1;
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        if (notes[static_cast<std::size_t>(k)].selected == 0)
            continue;
        if (previous >= 0)
            SpreadPair(notes, previous, k);
        previous = k;
    }
}

void ClearSelection(NoteTable& notes) {
    for (int k = kLowestKey; k <= kHighestKey; ++k)
        notes[static_cast<std::size_t>(k)].selected = kFalse;
}

} // namespace velomire

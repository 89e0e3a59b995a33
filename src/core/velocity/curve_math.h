#pragma once

#include "core/velocity/note_table.h"

#include <QLocale>
#include <QString>

#include <array>

namespace velomire {

// Number of points DrawCurve plots (t = 0, 0.002, ... about 0.998).
constexpr int kCurvePoints = 500;

struct CurvePoint {
    double x;
    double y;
};

// The polyline of a curve in a W x H view: starts at the bottom-left corner, then one
// point per step. The top edge stands for 128, so 127 sits 1/128 below it; output 0 is
// drawn on the last row.
std::array<CurvePoint, kCurvePoints + 1> CurvePolyline(const NoteSetting& s, double w, double h);

// Where the pointer is over the curve view, as fractions (single precision on purpose:
// the editor's edge tests depend on it).
struct PointerOnCurve {
    float xn = 0; // 0 left .. 1 right
    float yn = 0; // 0 bottom .. 1 top
    float yr = 0; // height as a fraction of the key's maximum
    bool inside = false;
};

// With vmax 0 there is no height to edit: every position counts as outside.
PointerOnCurve PointerAt(float x, float y, float w, float h, int vmax);

// Applies a drag at an inside pointer: lowers (never raises) the cut-off, and bends the
// curve through the pointer. Returns true when the cut-off was lowered.
bool EditAtPointer(NoteSetting& s, const PointerOnCurve& p);

// " 63-> 32": the velocity under the pointer and what the curve makes of it.
QString CurveTooltip(float xn, const NoteSetting& s);

// A number as labels show it: up to 15 significant digits, no trailing zeros, the
// locale's decimal separator, no group separators.
QString FormatGeneral(double v, const QLocale& locale = QLocale());
// The exponent as its label shows it: three decimals (three significant digits below 0.1),
// no trailing zeros, so it fits the label and a small bend still shows. Files keep the
// full value.
QString FormatExponent(double v, const QLocale& locale = QLocale());
// VB-style number with a leading space when not negative (" 63").
QString FormatSigned(long long v);

// Bulk edits on keys 21..108 (or the active entry); outnote is never touched.
void ResetAll(NoteTable& notes);
void ResetActive(NoteTable& notes, int active);
void CopyToAll(NoteTable& notes, int active);
// Interpolates between consecutive selected keys: exp linearly in arctan(exp), cut-off
// and maximum linearly, rounded half to even. Fewer than two selected keys: no change.
void SpreadVelocity(NoteTable& notes);
void ClearSelection(NoteTable& notes);

} // namespace velomire

#include "ui/widgets/loudness_chart.h"

#include "core/keyboard/note_names.h"

#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>

namespace velomire {

namespace {
constexpr int kLeftMargin = 40;   // the scale's labels
constexpr int kBottomMargin = 18; // the key names
constexpr int kTopMargin = 18;    // the legend
constexpr double kGridStep = 6.0; // LU between grid lines
} // namespace

const QColor LoudnessChart::kSilentColour(220, 30, 30);

LoudnessChart::LoudnessChart(QWidget* parent) : PictureBox(parent) {
    setMinimumSize(300, 160);
}

QColor LoudnessChart::VelocityColour(int index) {
    static const std::array<QColor, LoudnessTable::kMaxVelocities> colours{
        QColor(120, 170, 230), QColor(40, 110, 200), QColor(20, 60, 140),  QColor(0, 20, 70),
        QColor(90, 180, 90),   QColor(30, 120, 30),  QColor(180, 120, 30), QColor(120, 60, 0)};
    return colours[static_cast<std::size_t>(
        std::clamp(index, 0, LoudnessTable::kMaxVelocities - 1))];
}

void LoudnessChart::Show(const LoudnessTable& table, int lowKey, int highKey, int sounding) {
    table_ = table;
    low_ = std::clamp(std::min(lowKey, highKey), 0, 127);
    high_ = std::clamp(std::max(lowKey, highKey), 0, 127);
    sounding_ = sounding;
    // The scale: whole grid steps around what was heard.
    double lo = 0.0, hi = -200.0;
    for (int k = low_; k <= high_; ++k)
        for (int v = 0; v < table_.VelocityCount(); ++v)
            if (table_.Sounded(k, v)) {
                lo = std::min(lo, *table_.At(k, v));
                hi = std::max(hi, *table_.At(k, v));
            }
    if (hi < lo) {
        top_ = 0.0;
        bottom_ = -60.0;
    } else {
        top_ = std::ceil((hi + 1.0) / kGridStep) * kGridStep;
        bottom_ = std::floor((lo - 1.0) / kGridStep) * kGridStep;
    }
    Redraw();
}

void LoudnessChart::resizeEvent(QResizeEvent* event) {
    PictureBox::resizeEvent(event);
    Redraw();
}

QRect LoudnessChart::Plot() const {
    return QRect(kLeftMargin, kTopMargin, std::max(1, ScaleWidth() - kLeftMargin - 4),
                 std::max(1, ScaleHeight() - kTopMargin - kBottomMargin));
}

QRect LoudnessChart::KeyColumn(int key) const {
    if (key < low_ || key > high_)
        return {};
    const QRect plot = Plot();
    const int keys = high_ - low_ + 1;
    const int x0 = plot.left() + (key - low_) * plot.width() / keys;
    const int x1 = plot.left() + (key - low_ + 1) * plot.width() / keys;
    return QRect(x0, plot.top(), std::max(1, x1 - x0), plot.height());
}

int LoudnessChart::LevelY(double lufs) const {
    const QRect plot = Plot();
    const double share = (top_ - std::clamp(lufs, bottom_, top_)) / (top_ - bottom_);
    return plot.top() + static_cast<int>(std::lround(share * (plot.height() - 1)));
}

void LoudnessChart::Redraw() {
    QImage& img = image();
    img.fill(palette().color(QPalette::Base));
    QPainter p(&img);
    const QRect plot = Plot();
    const QColor text = palette().color(QPalette::Text);
    QFont font = p.font();
    font.setPixelSize(10);
    p.setFont(font);

    // The grid and its scale.
    for (double l = bottom_; l <= top_ + 1e-9; l += kGridStep) {
        const int y = LevelY(l);
        p.setPen(QColor(225, 225, 225));
        p.drawLine(plot.left(), y, plot.right(), y);
        p.setPen(text);
        p.drawText(QRect(0, y - 7, kLeftMargin - 4, 14), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(l, 'f', 0));
    }
    p.drawText(QRect(0, 0, kLeftMargin, kTopMargin), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("LUFS"));
    // The key now sounding; every key named where there is room, else the Cs.
    const bool roomForAll = KeyColumn(low_).width() >= 32;
    for (int k = low_; k <= high_; ++k) {
        const QRect column = KeyColumn(k);
        if (k == sounding_)
            p.fillRect(column, QColor(255, 240, 180));
        if (roomForAll || k % 12 == 0) {
            p.setPen(text);
            p.drawText(QRect(column.center().x() - 20, plot.bottom() + 2, 40, kBottomMargin - 2),
                       Qt::AlignHCenter | Qt::AlignTop, note_num2name(k));
        }
    }
    p.setRenderHint(QPainter::Antialiasing);
    // One line a velocity, through the keys that sounded; silent keys crossed at the foot.
    for (int v = 0; v < table_.VelocityCount(); ++v) {
        const QColor colour = VelocityColour(v);
        QPointF last;
        bool joined = false;
        for (int k = low_; k <= high_; ++k) {
            const QRect column = KeyColumn(k);
            const auto level = table_.At(k, v);
            if (!level) {
                joined = false;
                continue;
            }
            if (!table_.Sounded(k, v)) {
                p.setPen(QPen(kSilentColour, 2));
                const int cx = column.center().x(), cy = plot.bottom() - 5;
                p.drawLine(cx - 4, cy - 4, cx + 4, cy + 4);
                p.drawLine(cx - 4, cy + 4, cx + 4, cy - 4);
                joined = false;
                continue;
            }
            const QPointF at(column.center().x(), LevelY(*level));
            p.setPen(QPen(colour, 1.5));
            if (joined)
                p.drawLine(last, at);
            p.setBrush(colour);
            p.drawEllipse(at, 2.5, 2.5);
            last = at;
            joined = true;
        }
        // The legend.
        const int x = kLeftMargin + 10 + v * 60;
        p.fillRect(QRect(x, 5, 10, 8), colour);
        p.setPen(text);
        p.drawText(QRect(x + 13, 0, 46, kTopMargin), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("v %1").arg(table_.Velocities()[static_cast<std::size_t>(v)]));
    }
    p.end();
    update();
}

} // namespace velomire

#pragma once

#include "core/listening/loudness_table.h"
#include "ui/widgets/picture_box.h"

namespace velomire {

// What a measuring run heard: each key's loudness (LUFS, up the side) at each velocity (one
// colour a velocity, in a legend), keys along the bottom with the Cs named. A key that was
// played and did not sound gets a red cross at the foot of its column. The scale follows
// the readings. Drawn into the retained image on Show and on resize.
class LoudnessChart final : public PictureBox {
    Q_OBJECT
public:
    explicit LoudnessChart(QWidget* parent = nullptr);

    // The keys along the bottom, the table to draw, and the key sounding now (-1: none).
    void Show(const LoudnessTable& table, int lowKey, int highKey, int sounding = -1);
    // The column of a key in image coordinates (empty outside the keys shown).
    QRect KeyColumn(int key) const;
    // The height in image coordinates a reading stands at.
    int LevelY(double lufs) const;
    static QColor VelocityColour(int index);
    static const QColor kSilentColour;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Redraw();
    QRect Plot() const;

    LoudnessTable table_;
    int low_ = 21;
    int high_ = 108;
    int sounding_ = -1;
    double top_ = 0.0;    // LUFS at the top of the plot
    double bottom_ = -60; // ... and at its foot
};

} // namespace velomire

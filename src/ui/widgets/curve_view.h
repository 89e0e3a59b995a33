#pragma once

#include "core/velocity/curve_math.h"
#include "core/velocity/note_table.h"
#include "ui/widgets/picture_box.h"

#include <optional>

namespace velomire {

// The curve view: draws one key's response curve and speaks curves. A drag reports where
// the pointer lies on the curve; hovering shows in a tooltip what a velocity becomes; the
// last velocity played on the key is marked on the curve.
class CurveView final : public PictureBox {
    Q_OBJECT
public:
    explicit CurveView(QWidget* parent = nullptr);

    // The curve to show and edit.
    void SetCurve(const NoteSetting& s);
    // Marks where this velocity lies on the curve (drawn over the picture, not into it);
    // nullopt: no mark.
    void ShowPlayed(std::optional<int> velocity);

Q_SIGNALS:
    // A press begins a drag; while it lasts, every pointer position is reported.
    void DragStarted();
    void Dragged(const velomire::PointerOnCurve& p);
    // Keys bend the curve: steps > 0 raise it (Up, +, Page Up: ten), < 0 lower it.
    void Bent(int steps);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void UpdateTooltip();

    NoteSetting curve_{};
    std::optional<int> played_;
    float hover_ = -1.0f; // the pointer, as a fraction of the width; -1 not yet
    bool dragging_ = false;
};

} // namespace velomire

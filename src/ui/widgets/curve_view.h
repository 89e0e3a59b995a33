#pragma once

#include "core/velocity/note_table.h"
#include "ui/widgets/picture_box.h"

#include <optional>

namespace velomire {

// The curve view: draws one key's response curve and reports the mouse in its own
// pixel units.
class CurveView final : public PictureBox {
    Q_OBJECT
public:
    explicit CurveView(QWidget* parent = nullptr);

    void DrawCurve(const NoteSetting& s);
    // Marks where the last velocity played on this key lies on its curve (drawn over the
    // picture, not into it); nothing to forget it.
    void ShowPlayed(std::optional<QPointF> at);

Q_SIGNALS:
    void MouseDown(float x, float y);
    void MouseMove(float x, float y);
    void MouseUp(float x, float y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    std::optional<QPointF> played_;
};

} // namespace velomire

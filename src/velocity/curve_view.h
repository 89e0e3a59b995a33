#pragma once

#include "app/picture_box.h"
#include "velocity/note_table.h"

namespace velomire {

// The curve view: draws one key's response curve and reports the mouse in its own
// pixel units.
class CurveView final : public PictureBox {
    Q_OBJECT
public:
    explicit CurveView(QWidget* parent = nullptr);

    void DrawCurve(const NoteSetting& s);

Q_SIGNALS:
    void MouseDown(float x, float y);
    void MouseMove(float x, float y);
    void MouseUp(float x, float y);

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
};

} // namespace velomire

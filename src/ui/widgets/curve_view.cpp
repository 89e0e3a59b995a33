#include "ui/widgets/curve_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>
#include <QToolTip>

#include <algorithm>

namespace velomire {

CurveView::CurveView(QWidget* parent) : PictureBox(parent) {
    setMouseTracking(true);
}

void CurveView::SetCurve(const NoteSetting& s) {
    curve_ = s;
    QImage& img = image();
    img.fill(palette().color(QPalette::Base));
    const auto points = CurvePolyline(s, ScaleWidth(), ScaleHeight());
    QPolygonF line;
    line.reserve(static_cast<qsizetype>(points.size()));
    for (const CurvePoint& pt : points)
        line << QPointF(pt.x, pt.y);
    QPainter p(&img);
    p.setPen(QPen(palette().color(QPalette::WindowText), 0));
    p.drawPolyline(line);
    p.end();
    update();
    UpdateTooltip();
}

void CurveView::ShowPlayed(std::optional<int> velocity) {
    played_ = velocity;
    update();
}

void CurveView::paintEvent(QPaintEvent* event) {
    PictureBox::paintEvent(event);
    if (!played_)
        return;
    // Where the curve sends it, as the curve itself is drawn.
    const double w = ScaleWidth();
    const double h = ScaleHeight();
    const int out = MapVelocity(*played_, curve_);
    const QPointF at(w * *played_ / kMaxVelocity, std::min(h - h * out / 128.0, h - 1.0));
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(palette().color(QPalette::WindowText), 1));
    p.setBrush(QColor(220, 40, 40));
    p.drawEllipse(at + QPointF(kBorder, kBorder), 3.5, 3.5);
}

void CurveView::mousePressEvent(QMouseEvent* e) {
    dragging_ = true;
    Q_EMIT DragStarted();
    mouseMoveEvent(e);
}

void CurveView::mouseMoveEvent(QMouseEvent* e) {
    const QPointF inner = e->position() - QPointF(kBorder, kBorder);
    const auto w = static_cast<float>(ScaleWidth());
    hover_ = static_cast<float>(inner.x()) / w;
    if (dragging_)
        Q_EMIT Dragged(PointerAt(static_cast<float>(inner.x()), static_cast<float>(inner.y()), w,
                                 static_cast<float>(ScaleHeight()), curve_.vmax));
    else
        UpdateTooltip();
}

void CurveView::mouseReleaseEvent(QMouseEvent*) {
    dragging_ = false;
    UpdateTooltip();
}

void CurveView::keyPressEvent(QKeyEvent* e) {
    int steps = 0;
    switch (e->key()) {
    case Qt::Key_Up:
    case Qt::Key_Plus:
        steps = 1;
        break;
    case Qt::Key_Down:
    case Qt::Key_Minus:
        steps = -1;
        break;
    case Qt::Key_PageUp:
        steps = 10;
        break;
    case Qt::Key_PageDown:
        steps = -10;
        break;
    default:
        PictureBox::keyPressEvent(e);
        return;
    }
    Q_EMIT Bent(steps);
}

void CurveView::UpdateTooltip() {
    // Whatever the height of the pointer: the input under it and what it becomes now.
    if (hover_ <= 0.0f || hover_ >= 1.0f)
        return;
    const QString text = CurveTooltip(hover_, curve_);
    setToolTip(text);
    if (QToolTip::isVisible() && underMouse())
        QToolTip::showText(QCursor::pos(), text, this);
}

} // namespace velomire

#include "velocity/curve_view.h"

#include "velocity/curve_math.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>

namespace velomire {

CurveView::CurveView(QWidget* parent) : PictureBox(parent) {
    setMouseTracking(true);
}

void CurveView::DrawCurve(const NoteSetting& s) {
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
}

namespace {
QPointF Inner(const QMouseEvent* e) {
    return e->position() - QPointF(PictureBox::kBorder, PictureBox::kBorder);
}
} // namespace

void CurveView::mousePressEvent(QMouseEvent* e) {
    const QPointF p = Inner(e);
    Q_EMIT MouseDown(static_cast<float>(p.x()), static_cast<float>(p.y()));
}

void CurveView::mouseMoveEvent(QMouseEvent* e) {
    const QPointF p = Inner(e);
    Q_EMIT MouseMove(static_cast<float>(p.x()), static_cast<float>(p.y()));
}

void CurveView::mouseReleaseEvent(QMouseEvent* e) {
    const QPointF p = Inner(e);
    Q_EMIT MouseUp(static_cast<float>(p.x()), static_cast<float>(p.y()));
}

} // namespace velomire

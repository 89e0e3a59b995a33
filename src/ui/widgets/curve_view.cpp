#include "ui/widgets/curve_view.h"

#include "core/velocity/curve_math.h"

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

void CurveView::ShowPlayed(std::optional<QPointF> at) {
    if (at == played_)
        return;
    played_ = at;
    update();
}

void CurveView::paintEvent(QPaintEvent* event) {
    PictureBox::paintEvent(event);
    if (!played_)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(palette().color(QPalette::WindowText), 1));
    p.setBrush(QColor(220, 40, 40));
    p.drawEllipse(*played_ + QPointF(kBorder, kBorder), 3.5, 3.5);
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

#include "ui/widgets/picture_box.h"

#include <QPaintEvent>
#include <QPainter>
#include <qdrawutil.h>

#include <algorithm>

namespace velomire {

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize PictureBox::InnerSize() const {
    return {std::max(1, width() - 2 * kBorder), std::max(1, height() - 2 * kBorder)};
}

void PictureBox::SyncImage() const {
    const QSize inner = InnerSize();
    if (inner == image_.size())
        return;
    QImage next(inner, QImage::Format_RGB32);
    next.fill(palette().color(QPalette::Base));
    if (!image_.isNull()) {
        QPainter p(&next);
        p.drawImage(0, 0, image_);
    }
    image_ = next;
}

int PictureBox::ScaleWidth() const {
    return InnerSize().width();
}
int PictureBox::ScaleHeight() const {
    return InnerSize().height();
}

const QImage& PictureBox::image() const {
    SyncImage();
    return image_;
}

QImage& PictureBox::image() {
    SyncImage();
    return image_;
}

void PictureBox::Clear(const QColor& color) {
    image().fill(color);
    update();
}

void PictureBox::FillBox(int x1, int y1, int x2, int y2, const QColor& color) {
    const QRect r = QRect(QPoint(std::min(x1, x2), std::min(y1, y2)),
                          QPoint(std::max(x1, x2), std::max(y1, y2)))
                        .intersected(image().rect());
    if (r.isEmpty())
        return;
    QPainter p(&image());
    p.fillRect(r, color);
    UpdateImageRect(r);
}

void PictureBox::UpdateImageRect(const QRect& r) {
    update(r.translated(kBorder, kBorder));
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    const QRect inner = rect().adjusted(kBorder, kBorder, -kBorder, -kBorder);
    const QRect dirty = event->rect().intersected(inner);
    if (!dirty.isEmpty())
        p.drawImage(dirty, image(), dirty.translated(-kBorder, -kBorder));
    if (!inner.contains(event->rect()))
        qDrawShadePanel(&p, rect(), palette(), true, kBorder);
    if (hasFocus()) {
        // Over the picture, never into it: the retained image stays as drawn. Drawn here,
        // not by the style, which may show focus only after keyboard navigation.
        p.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(inner.adjusted(0, 0, -1, -1));
    }
}

void PictureBox::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    update();
}

void PictureBox::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

} // namespace velomire

#pragma once

// Pointer events sent straight to a widget, for benchmarks that drive the real views
// without QtTest. Coordinates are inside the picture (a picture box's border is added).

#include "ui/widgets/picture_box.h"

#include <QCoreApplication>
#include <QMouseEvent>

namespace velomire {

inline void SendMouse(QWidget* to, QEvent::Type type, double x, double y) {
    const QPointF at(x + PictureBox::kBorder, y + PictureBox::kBorder);
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, at, to->mapToGlobal(at),
                  type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held, Qt::NoModifier);
    QCoreApplication::sendEvent(to, &e);
}

} // namespace velomire

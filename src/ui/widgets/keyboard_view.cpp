#include "ui/widgets/keyboard_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace velomire {

QColor ResolveColorWord(std::uint32_t word) {
    // Colour words are 0x00BBGGRR.
    return QColor(static_cast<int>(word & 0xFF), static_cast<int>((word >> 8) & 0xFF),
                  static_cast<int>((word >> 16) & 0xFF));
}

KeyboardView::KeyboardView(QWidget* parent) : PictureBox(parent) {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void KeyboardView::DrawKeyboard() {
    QImage& img = image();
    img.fill(palette().color(QPalette::Base));
    const KeyboardMetrics m = KeyboardMetricsFor(ScaleWidth(), ScaleHeight());
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(Qt::black, 0));
    for (int i = 1; i <= 53; ++i) {
        const double x = i * static_cast<double>(m.whiteWidth);
        p.drawLine(QPointF(x, 0), QPointF(x, ScaleHeight()));
    }
    const QColor black = ResolveColorWord(kBlackKeyColorWord);
    p.setBrush(Qt::NoBrush);
    for (const KeyBox& b : BlackKeyBoxes(ScaleWidth(), ScaleHeight())) {
        // Corners on whole pixels, as the key table rounds the faces: the outline then
        // lies just outside each face and a released key never paints over it.
        const QRect r(QPoint(static_cast<int>(RoundHalfEven(b.left)), static_cast<int>(b.top)),
                      QPoint(static_cast<int>(RoundHalfEven(b.right)),
                             static_cast<int>(RoundHalfEven(b.bottom))));
        p.fillRect(r, black);
        // The outline is transparent-filled: the fill colour set before has no effect.
        p.drawRect(r.adjusted(0, 0, -1, -1)); // covers left..right, top..bottom
    }
    p.end();
    update();
}

const KeyInfo* KeyboardView::Face(int key) const {
    if (!keys_ || key < 0 || key >= kNoteTableSize)
        return nullptr;
    const KeyInfo& k = (*keys_)[static_cast<std::size_t>(key)];
    // Entries outside the keyboard have no face: nothing to draw.
    if (k.faceright <= k.faceleft)
        return nullptr;
    return &k;
}

void KeyboardView::MarkSounding(int key, int velocity, int mapped) {
    const KeyInfo* k = Face(key);
    if (!k)
        return;
    const double height = static_cast<double>(k->facebottom - k->facetop) * mapped / 127.0;
    if (height <= 0.0)
        return; // a note below the cut-off shows no bar
    const int top = static_cast<int>(std::lround(k->facebottom - height));
    FillBox(k->faceleft, top, k->faceright, k->facebottom,
            QColor(std::clamp(2 * velocity, 0, 255), 0, 0));
}

void KeyboardView::MarkReleased(int key) {
    const KeyInfo* k = Face(key);
    if (!k)
        return;
    FillBox(k->faceleft, k->facetop, k->faceright, k->facebottom, ResolveColorWord(k->facecolor));
}

void KeyboardView::mousePressEvent(QMouseEvent* e) {
    // A press says where it is: a touch screen, or a click with no move before it, brings
    // no hover to act on.
    mouseMoveEvent(e);
    if (e->button() != Qt::NoButton)
        pressed_ = true;
}

void KeyboardView::mouseReleaseEvent(QMouseEvent* e) {
    const bool wasDouble = inDoubleClick_;
    inDoubleClick_ = false;
    if (!pressed_)
        return;
    pressed_ = false;
    // The release that ends a double click is not another click.
    if (!wasDouble && rect().contains(e->position().toPoint()))
        Q_EMIT Click();
}

void KeyboardView::mouseDoubleClickEvent(QMouseEvent* e) {
    mouseMoveEvent(e);
    pressed_ = false;
    inDoubleClick_ = true;
    Q_EMIT DblClick();
}

void KeyboardView::mouseMoveEvent(QMouseEvent* e) {
    const QPointF p = e->position() - QPointF(kBorder, kBorder);
    Q_EMIT MouseMove(p.x(), p.y());
}

void KeyboardView::keyPressEvent(QKeyEvent* e) {
    int code = 0;
    switch (e->key()) {
    case Qt::Key_PageUp:
        code = kPageUp;
        break;
    case Qt::Key_PageDown:
        code = kPageDown;
        break;
    case Qt::Key_Home:
        code = kHome;
        break;
    case Qt::Key_Left:
        code = kLeft;
        break;
    case Qt::Key_Up:
        code = kUp;
        break;
    case Qt::Key_Right:
        code = kRight;
        break;
    case Qt::Key_Down:
        code = kDown;
        break;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        PictureBox::keyPressEvent(e);
        return;
    default:
        // Modifiers and function keys have Qt codes whose low bits would read as paging
        // keys (Ctrl as Page Up); they, and combinations with Ctrl or Alt, are no key here.
        if (e->key() > 0xFF || (e->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
            e->ignore();
            return;
        }
        code = e->key();
        break;
    }
    Q_EMIT KeyDown(code);
}

} // namespace velomire

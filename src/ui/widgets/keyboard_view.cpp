#include "ui/widgets/keyboard_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace velomire {

QColor ResolveColorWord(std::uint32_t word) {
    // Colour words are 0x00BBGGRR.
    return QColor(static_cast<int>(word & 0xFF), static_cast<int>((word >> 8) & 0xFF),
                  static_cast<int>((word >> 16) & 0xFF));
}

namespace {
constexpr int kMarkRadius = 5;
constexpr int kHomeKey = 60;

// A fully transparent image on memory straight from the system (calloc of this size maps
// zero pages): the pages no mark is ever drawn on cost neither start-up time nor memory.
QImage TransparentImage(QSize size) {
    const qsizetype stride = qsizetype{size.width()} * 4;
    void* data = std::calloc(static_cast<std::size_t>(stride * size.height()), 1);
    if (!data) {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        return image;
    }
    return QImage(
        static_cast<uchar*>(data), size.width(), size.height(), stride,
        QImage::Format_ARGB32_Premultiplied, [](void* p) { std::free(p); }, data);
}
} // namespace

// The marks lie above and below the keyboard, outside its picture: a layer the size of the
// parent, under its other children, that lets every click through.
class KeyboardView::MarksLayer final : public QWidget {
public:
    explicit MarksLayer(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(parent->rect());
        image_ = TransparentImage(size());
        lower();
        show();
    }

    // Only the old and the new marks are repainted.
    void Show(const KeyTable& keys, const NoteTable& notes, int active) {
        QRegion dirty = drawn_;
        QPainter p(&image_);
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        for (const QRect& r : drawn_)
            p.fillRect(r, Qt::transparent);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        drawn_ = QRegion();
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(QPen(palette().color(QPalette::WindowText), 1));
        const auto circle = [&](const KeyInfo& k, const QColor& fill) {
            p.setBrush(fill);
            p.drawEllipse(QPointF(k.markx, k.marky), kMarkRadius, kMarkRadius);
            drawn_ += QRect(k.markx - kMarkRadius - 1, k.marky - kMarkRadius - 1,
                            2 * kMarkRadius + 3, 2 * kMarkRadius + 3);
        };
        for (int k = kLowestKey; k <= kHighestKey; ++k) {
            const KeyInfo& key = keys[static_cast<std::size_t>(k)];
            if (k == active)
                circle(key, QColor(255, 0, 0));
            if (notes[static_cast<std::size_t>(k)].selected == kTrue)
                circle(key, k == active ? QColor(255, 0, 255) : QColor(0, 0, 255));
        }
        p.end();
        update(dirty + drawn_);
    }
    const QImage& Image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter p(this);
        for (const QRect& r : event->region())
            p.drawImage(r, image_, r);
    }

private:
    QImage image_;
    QRegion drawn_; // where marks are drawn now
};

KeyboardView::KeyboardView(QWidget* parent) : PictureBox(parent) {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void KeyboardView::DrawKeyboard() {
    // The mark rows are placed from the keyboard's place in its parent.
    NoteTable unused{};
    BuildKeyTable(keys_, unused,
                  {ScaleWidth(), ScaleHeight(), geometry().top(), geometry().height()});
    if (!marks_ && parentWidget())
        marks_ = new MarksLayer(parentWidget());
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

void KeyboardView::ShowMarks(const NoteTable& notes, int active) {
    active_ = active;
    if (marks_)
        marks_->Show(keys_, notes, active);
}

const QImage& KeyboardView::Marks() const {
    static const QImage kNone;
    return marks_ ? marks_->Image() : kNone;
}

const KeyInfo* KeyboardView::Face(int key) const {
    if (key < 0 || key >= kNoteTableSize)
        return nullptr;
    const KeyInfo& k = keys_[static_cast<std::size_t>(key)];
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

int KeyboardView::KeyAtPointer(const QMouseEvent* e) const {
    const QPointF p = e->position() - QPointF(kBorder, kBorder);
    return KeyAt(p.x(), p.y(), ScaleWidth(), ScaleHeight());
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
    // The release that ends a double click is not another click; off the keys (the top
    // row, the border) there is nothing to choose.
    const int note = KeyAtPointer(e);
    if (!wasDouble && rect().contains(e->position().toPoint()) && IsKey(note))
        Q_EMIT KeyChosen(note);
}

void KeyboardView::mouseDoubleClickEvent(QMouseEvent* e) {
    mouseMoveEvent(e);
    pressed_ = false;
    inDoubleClick_ = true;
    if (const int note = KeyAtPointer(e); IsKey(note))
        Q_EMIT KeyToggled(note);
}

void KeyboardView::mouseMoveEvent(QMouseEvent* e) {
    Q_EMIT KeyHovered(KeyAtPointer(e));
}

void KeyboardView::keyPressEvent(QKeyEvent* e) {
    // Plain keys only: with Ctrl or Alt they are shortcuts of the window.
    if (e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        e->ignore();
        return;
    }
    int note = 0;
    switch (e->key()) {
    case Qt::Key_Up:
    case Qt::Key_Right:
        note = active_ + 1;
        break;
    case Qt::Key_Down:
    case Qt::Key_Left:
        note = active_ - 1;
        break;
    case Qt::Key_Home:
        note = kHomeKey;
        break;
    case Qt::Key_PageUp:
        note = kHighestKey;
        break;
    case Qt::Key_PageDown:
        note = kLowestKey;
        break;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        PictureBox::keyPressEvent(e);
        return;
    default:
        // Function keys and the like are not the keyboard's; any other key only brings an
        // active key off the keyboard (a damaged setting's) back onto it.
        if (e->key() > 0xFF) {
            e->ignore();
            return;
        }
        note = active_;
        break;
    }
    Q_EMIT KeyChosen(std::clamp(note, kLowestKey, kHighestKey));
}

} // namespace velomire

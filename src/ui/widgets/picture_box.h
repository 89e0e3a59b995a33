#pragma once

#include <QImage>
#include <QWidget>

namespace velomire {

// A drawing surface with a 2-pixel sunken border that keeps what was drawn on it.
// Drawing goes into a retained image the size of the inner area; paintEvent only copies
// it, so covering, minimising or exposing the window never needs the drawing redone.
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    static constexpr int kBorder = 2;

    // Inner drawing area in pixels (outer size less the border). Valid as soon as the
    // geometry is set, before the widget is first shown.
    int ScaleWidth() const;
    int ScaleHeight() const;

    const QImage& image() const;
    QImage& image();

    void Clear(const QColor& color);
    // Fills the rectangle between two corners, both included, and repaints only it.
    void FillBox(int x1, int y1, int x2, int y2, const QColor& color);
    // Schedules a repaint of a rectangle given in image coordinates.
    void UpdateImageRect(const QRect& r);

protected:
    void paintEvent(QPaintEvent* event) override;
    // Its keys act while it has the focus, so it shows that it has it.
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QSize InnerSize() const;
    // Brings the image to the inner size, keeping what was drawn.
    void SyncImage() const;

    mutable QImage image_;
};

} // namespace velomire

#pragma once

#include "core/keyboard/keyboard_geometry.h"
#include "ui/widgets/picture_box.h"

namespace velomire {

// Screen colour of a colour word. Words with a non-zero top byte (the black keys'
// 0xAAAAAAAA) use their low 24 bits; resolved here only, so the first drawing of a
// black key and its face after a note ends always match.
QColor ResolveColorWord(std::uint32_t word);

// The 88-key keyboard: static drawing once, then only face rectangles as keys sound.
class KeyboardView final : public PictureBox {
    Q_OBJECT
public:
    explicit KeyboardView(QWidget* parent = nullptr);

    void SetKeyTable(const KeyTable* keys) { keys_ = keys; }
    void DrawKeyboard();

    // A key sounding: a bar as high as the velocity sent, as bright as the one played.
    void MarkSounding(int key, int velocity, int mapped);
    void MarkReleased(int key);

    // Virtual key codes the handlers understand.
    enum KeyCode : int {
        kPageUp = 33,
        kPageDown = 34,
        kHome = 36,
        kLeft = 37,
        kUp = 38,
        kRight = 39,
        kDown = 40
    };

Q_SIGNALS:
    void Click();
    void DblClick();
    void KeyDown(int keyCode);
    void MouseMove(double x, double y);

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    const KeyInfo* Face(int key) const;

    const KeyTable* keys_ = nullptr;
    bool pressed_ = false;
    bool inDoubleClick_ = false;
};

} // namespace velomire

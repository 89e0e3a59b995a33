#pragma once

#include "core/keyboard/keyboard_geometry.h"
#include "ui/widgets/picture_box.h"

namespace velomire {

// Screen colour of a colour word. Words with a non-zero top byte (the black keys'
// 0xAAAAAAAA) use their low 24 bits; resolved here only, so the first drawing of a
// black key and its face after a note ends always match.
QColor ResolveColorWord(std::uint32_t word);

// The 88-key keyboard: static drawing once, then only face rectangles as keys sound. It
// speaks notes: it says which key was chosen (a click, or the keys: arrows step from the
// active key, Home is C4, Page Up C8, Page Down A0), toggled (a double click) or is under
// the pointer, and it draws the marks of the active and the selected keys just outside
// itself, on a layer over its parent.
class KeyboardView final : public PictureBox {
    Q_OBJECT
public:
    explicit KeyboardView(QWidget* parent = nullptr);

    // Places the keys for the current geometry and draws the keyboard; once the parent's
    // size is final (the marks' layer covers it).
    void DrawKeyboard();
    const KeyTable& Keys() const { return keys_; }

    // A key sounding: a bar as high as the velocity sent, as bright as the one played.
    void MarkSounding(int key, int velocity, int mapped);
    void MarkReleased(int key);
    // The active key's mark (red; magenta when also selected) and the selected keys' (blue).
    void ShowMarks(const NoteTable& notes, int active);
    // Where the marks are drawn, in the parent's coordinates.
    const QImage& Marks() const;

Q_SIGNALS:
    void KeyChosen(int note);
    void KeyToggled(int note);
    // The key under the pointer: 21..108, or 0 off the keys.
    void KeyHovered(int note);

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    class MarksLayer;
    const KeyInfo* Face(int key) const;
    int KeyAtPointer(const QMouseEvent* e) const;

    KeyTable keys_{};
    MarksLayer* marks_ = nullptr;
    int active_ = 0;
    bool pressed_ = false;
    bool inDoubleClick_ = false;
};

} // namespace velomire

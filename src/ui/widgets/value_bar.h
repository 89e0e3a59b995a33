#pragma once

#include <QScrollBar>

namespace velomire {

// A scroll bar that sets a value: it shows when it has the focus (its keys then change the
// value), which a plain scroll bar does not in every style.
class ValueBar final : public QScrollBar {
    Q_OBJECT
public:
    explicit ValueBar(QWidget* parent = nullptr) : QScrollBar(parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace velomire

#pragma once

#include <QString>

class QWidget;

namespace velomire {

// The program's message boxes, behind an interface so tests can answer them.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // OK only, no icon; waits until dismissed.
    virtual void Inform(const QString& title, const QString& text) = 0;
    // Yes / No with the stop icon, No the default. True for Yes.
    virtual bool AskYesNo(const QString& title, const QString& text) = 0;
    // Save / Discard / Cancel with the warning icon, Save the default, Escape cancels. One
    // that cannot ask cancels, so nothing is lost.
    enum class Unsaved { Save, Discard, Cancel };
    virtual Unsaved AskUnsaved(const QString&, const QString&) { return Unsaved::Cancel; }
};

class QtMessageBoxes final : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    void Inform(const QString& title, const QString& text) override;
    bool AskYesNo(const QString& title, const QString& text) override;
    Unsaved AskUnsaved(const QString& title, const QString& text) override;

private:
    QWidget* parent_;
};

} // namespace velomire

#pragma once

#include "ui/widgets/message_box.h"

namespace velomire::bench {

// Message boxes for a window a benchmark drives: nothing shown, every question answered no.
class SilentBoxes final : public MessageBoxes {
public:
    void Inform(const QString&, const QString&) override {}
    bool AskYesNo(const QString&, const QString&) override { return false; }
};

} // namespace velomire::bench

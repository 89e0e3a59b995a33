#pragma once

#include "core/listening/loudness_table.h"
#include "core/velocity/voicing.h"
#include "session/session.h"
#include "ui/widgets/message_box.h"

#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QPushButton;
class QSlider;

namespace velomire {

class VoicingChart;

// Evening out the sound from what a measuring run heard: the fit proposes a correction per
// key, applied after the key's own curve. One control trades evenness for loudness; the
// figures, the keys that fall short and the keys set aside follow it. Apply is one undoable
// step; closing without it changes nothing. After Apply, a new run played through the
// corrections shows what was reached.
class VoicingWindow final : public QWidget {
    Q_OBJECT
public:
    // Starts a measuring run that sends, for key k and planned velocity w, velocityMap(k, w);
    // empty when it started, else why not.
    using Remeasure = std::function<QString(std::function<int(int key, int velocity)>)>;

    VoicingWindow(Session& session, MessageBoxes& boxes, LoudnessTable heard,
                  QWidget* parent = nullptr);
    void SetRemeasure(Remeasure remeasure);
    // What the run after Apply heard: shown against the target.
    void ShowReached(const LoudnessTable& reached);

    const VoicingResult& result() const { return result_; }
    int selected() const { return selected_; }
    bool applied() const { return applied_.has_value(); }

    QSlider* shareSlider() const { return share_; }
    QPushButton* applyButton() const { return apply_; }
    QPushButton* takeBackButton() const { return takeBack_; }
    QPushButton* measureButton() const { return measure_; }
    VoicingChart* chart() const { return chart_; }
    QLabel* figures() const { return figures_; }
    QLabel* readout() const { return readout_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Fit();
    void Select(int note);
    void Apply();
    void MeasureAgain();
    void Refresh();
    QString Figures() const;

    Session& session_;
    MessageBoxes& boxes_;
    const LoudnessTable heard_;
    VoicingOptions options_;
    VoicingResult result_;
    // What Apply wrote, kept for the run that shows what it reached.
    std::optional<VoicingResult> applied_;
    std::optional<LoudnessTable> reached_;
    int selected_ = -1;
    Remeasure remeasure_;

    VoicingChart* chart_ = nullptr;
    QLabel* readout_ = nullptr;
    QPushButton* takeBack_ = nullptr;
    QSlider* share_ = nullptr;
    QLabel* figures_ = nullptr;
    QPushButton* apply_ = nullptr;
    QPushButton* measure_ = nullptr;
    QPushButton* close_ = nullptr;
};

// The measured keys as columns, named on an axis below; for each voiced velocity, from left
// to right in a column, the key's distance from the keyboard's level before (light) and from
// the target after (dark, red when short), and what a run after Apply reached (a dot). Keys
// set aside are amber. Arrows and Home/End move the selected key.
class VoicingChart final : public QWidget {
    Q_OBJECT
public:
    explicit VoicingChart(QWidget* parent = nullptr);
    void Show(const VoicingResult* result, const LoudnessTable* reached, int selected);
    int KeyAt(QPoint p) const;
    QRect KeyRect(int note) const;

    // Distances beyond this are drawn at the edge, with a mark.
    static constexpr double kScaleLu = 12.0;

Q_SIGNALS:
    void KeyPicked(int note);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QRect Bars() const;
    void PaintKey(QPainter& p, int note, const QRect& column) const;

    const VoicingResult* result_ = nullptr;
    const LoudnessTable* reached_ = nullptr;
    int first_ = kLowestKey;
    int last_ = kHighestKey;
    int selected_ = -1;
};

} // namespace velomire

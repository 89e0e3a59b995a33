// The curve view, its scroll bars and the bulk-edit buttons, driven through the real window.

#include "core/velocity/curve_math.h"
#include "gui_fixture.h"
#include "ui/widgets/curve_view.h"

#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWheelEvent>

#include <cctype>
#include <cmath>
#include <functional>
#include <optional>
#include <vector>

namespace velomire::testing {
namespace {

constexpr int kActive = 60;

bool Dark(QRgb c) {
    return qGray(c) < 128;
}

// The highest drawn pixel in one column of the curve image.
std::optional<int> TopmostDark(const QImage& img, int x) {
    for (int y = 0; y < img.height(); ++y)
        if (Dark(img.pixel(x, y)))
            return y;
    return std::nullopt;
}

class CurveTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        Start();
    }
    float W() { return static_cast<float>(ui().curveView->ScaleWidth()); }
    float H() { return static_cast<float>(ui().curveView->ScaleHeight()); }
    // Pointer at fractions of the view: xn from the left, yn from the bottom.
    float X(float xn) { return xn * W(); }
    float Y(float yn) { return (1.0f - yn) * H(); }
    // Real mouse events on the view, at sub-pixel positions so that fractions stay exact.
    void Mouse(QEvent::Type type, float xn, float yn, Qt::MouseButtons held) {
        const QPointF at(X(xn) + PictureBox::kBorder, Y(yn) + PictureBox::kBorder);
        QMouseEvent e(type, at, ui().curveView->mapToGlobal(at),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held,
                      Qt::NoModifier);
        QCoreApplication::sendEvent(ui().curveView, &e);
    }
    void Down(float xn, float yn) {
        held_ = Qt::LeftButton;
        Mouse(QEvent::MouseButtonPress, xn, yn, held_);
    }
    void Move(float xn, float yn) { Mouse(QEvent::MouseMove, xn, yn, held_); }
    void Up(float xn, float yn) {
        held_ = {};
        Mouse(QEvent::MouseButtonRelease, xn, yn, held_);
    }
    const NoteSetting& Active() { return form->notes()[form->activenote()]; }
    // Puts values into one entry as a loaded setting would.
    void SetEntry(int k, const std::function<void(NoteSetting&)>& change) {
        Seed([&](SessionState& st) { change(st.notes[static_cast<std::size_t>(k)]); });
    }
    QString Tip() { return ui().curveView->toolTip(); }
    QImage Curve() { return ui().curveView->image().copy(); }
    double LabelNumber(QLabel* label) {
        bool ok = false;
        const double v = QLocale().toDouble(label->text(), &ok);
        EXPECT_TRUE(ok) << label->text().toStdString();
        return v;
    }

private:
    Qt::MouseButtons held_;
};

// ---- Mouse editor ----

struct BendCase {
    int vmax;
    float xn, yn;
    double exp;
    const char* label; // nullptr: only the value is checked
};

class CurveBend : public CurveTest, public ::testing::WithParamInterface<BendCase> {};

TEST_P(CurveBend, MouseDownBendsTheCurveThroughThePointer) {
    const BendCase c = GetParam();
    ui().maximumBar->setValue(MainWindow::VmaxAt(c.vmax));
    ASSERT_EQ(Active().vmax, c.vmax);
    Down(c.xn, c.yn);
    EXPECT_NEAR(Active().exp, c.exp, 1e-5);
    EXPECT_TRUE(std::isfinite(Active().exp));
    if (c.label) {
        EXPECT_EQ(ui().exponentValue->text(), QString::fromLatin1(c.label));
    }
    // The label fits its box: three decimals, or three significant digits when tiny.
    EXPECT_NEAR(LabelNumber(ui().exponentValue), Active().exp,
                std::max(0.5e-3, 0.5e-2 * Active().exp));
    EXPECT_LE(ui().exponentValue->text().size(), 8) << ui().exponentValue->text().toStdString();
    Up(c.xn, c.yn);
}

INSTANTIATE_TEST_SUITE_P(Points, CurveBend,
                         ::testing::Values(BendCase{127, 0.5f, 0.25f, 2.0, "2"},
                                           // yr = 0.3175: ln 0.3175 / ln 0.5
                                           BendCase{100, 0.5f, 0.25f, 1.6551715, nullptr},
                                           BendCase{127, 0.25f, 0.5f, 0.5, "0.5"},
                                           // a tiny exponent keeps three significant digits
                                           BendCase{127, 0.001f, 0.999f, 0.00014483, nullptr}));

TEST_F(CurveTest, BentCurveMapsAndIsDrawnThroughThePointer) {
    Down(0.5f, 0.25f);
    Up(0.5f, 0.25f);
    EXPECT_EQ(MapVelocity(64, Active()), 32);
    EXPECT_EQ(MapVelocity(127, Active()), 126);
    // The drawn curve passes the pointer: column at half the width, a quarter up.
    const QImage img = Curve();
    const auto y = TopmostDark(img, static_cast<int>(X(0.5f)));
    ASSERT_TRUE(y.has_value());
    EXPECT_NEAR(*y, Y(0.25f), 2.0);
}

TEST_F(CurveTest, DragLowersTheCutOffButNeverRaisesIt) {
    ui().cutOffBar->setValue(40);
    ASSERT_EQ(Active().vcut, 40);
    Down(0.5f, 0.25f); // 63.5 is above the cut-off: unchanged
    EXPECT_EQ(Active().vcut, 40);
    Move(0.25f, 0.1f); // 31.75
    EXPECT_EQ(Active().vcut, 32);
    EXPECT_EQ(ui().cutOffBar->value(), 32);
    EXPECT_EQ(ui().cutOffValue->text(), QStringLiteral("32"));
    Move(0.5f, 0.25f);
    EXPECT_EQ(Active().vcut, 32);
    EXPECT_EQ(ui().cutOffBar->value(), 32);
    EXPECT_DOUBLE_EQ(Active().exp, 2.0);
    EXPECT_EQ(Active().vmax, 127); // the editor never touches the maximum
    Up(0.5f, 0.25f);
}

struct OutsideCase {
    const char* what;
    int vmax;
    float xn, yn;
    bool overTheCurve; // between the left and right edges: the tooltip tells the mapping
};

class CurveOutside : public CurveTest, public ::testing::WithParamInterface<OutsideCase> {};

TEST_P(CurveOutside, PointerOutsideEditsNothing) {
    const OutsideCase c = GetParam();
    ui().maximumBar->setValue(MainWindow::VmaxAt(c.vmax));
    ui().cutOffBar->setValue(20);
    ui().curveView->setToolTip(QStringLiteral("before"));
    const NoteSetting before = Active();
    // Above the maximum too, the tooltip tells what the velocity under the pointer becomes.
    const QString tip = c.overTheCurve ? CurveTooltip(c.xn, before) : QStringLiteral("before");

    Move(c.xn, c.yn); // hover
    EXPECT_EQ(Tip(), tip);
    Down(c.xn, c.yn);
    Move(c.xn, c.yn); // drag
    Up(c.xn, c.yn);
    EXPECT_EQ(Active(), before);
    EXPECT_EQ(Tip(), tip);
    EXPECT_EQ(ui().exponentValue->text(), QStringLiteral("1"));
}

INSTANTIATE_TEST_SUITE_P(Positions, CurveOutside,
                         ::testing::Values(OutsideCase{"top edge at vmax 127", 127, 0.5f, 1.0f,
                                                       true},
                                           OutsideCase{"above vmax level", 100, 0.5f, 0.9f, true},
                                           OutsideCase{"left edge", 127, 0.0f, 0.5f, false},
                                           OutsideCase{"bottom edge", 127, 0.5f, 0.0f, true},
                                           OutsideCase{"right edge", 127, 1.0f, 0.5f, false},
                                           OutsideCase{"beyond the left", 127, -0.1f, 0.5f, false},
                                           OutsideCase{"below the bottom", 127, 0.5f, -0.1f, true}),
                         [](const auto& p) {
                             std::string n = p.param.what;
                             for (char& ch : n)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return n;
                         });

TEST_F(CurveTest, MaximumZeroLeavesNoPlaceToEdit) {
    ui().maximumBar->setValue(MainWindow::VmaxAt(0));
    ASSERT_EQ(Active().vmax, 0);
    ui().curveView->setToolTip(QStringLiteral("before"));
    for (float xn = 0.05f; xn < 1.0f; xn += 0.1f)
        for (float yn = 0.0f; yn <= 1.0f; yn += 0.125f) {
            Move(xn, yn);
            Down(xn, yn);
            Move(xn, yn);
            Up(xn, yn);
            ASSERT_TRUE(std::isfinite(Active().exp)) << xn << "," << yn;
            ASSERT_DOUBLE_EQ(Active().exp, 1.0) << xn << "," << yn;
            ASSERT_TRUE(Tip().endsWith(QStringLiteral("-> 0"))) << Tip().toStdString();
        }
    // A flat curve along the bottom: nothing drawn above it.
    const QImage img = Curve();
    for (int x = 0; x < img.width(); x += 7)
        EXPECT_FALSE(TopmostDark(img, x).value_or(img.height()) < img.height() - 2) << x;
}

TEST_F(CurveTest, MouseUpStopsEditingAndHoverShowsTheTooltipAgain) {
    ui().curveView->setToolTip(QString());
    Down(0.5f, 0.25f);
    Move(0.25f, 0.5f); // dragging edits; the tooltip keeps up with the new curve
    EXPECT_DOUBLE_EQ(Active().exp, 0.5);
    EXPECT_EQ(Tip(), CurveTooltip(0.25f, Active()));
    Up(0.9f, 0.9f);
    Move(0.5f, 0.25f);
    EXPECT_DOUBLE_EQ(Active().exp, 0.5);
    EXPECT_FALSE(Tip().isEmpty());
}

TEST_F(CurveTest, DragStartedOutsideEditsOnceThePointerEnters) {
    Down(0.5f, 1.0f); // top edge: outside, but armed
    EXPECT_DOUBLE_EQ(Active().exp, 1.0);
    Move(0.5f, 0.25f);
    EXPECT_DOUBLE_EQ(Active().exp, 2.0);
    Up(0.5f, 0.25f);
}

struct TipCase {
    double exp;
    int vcut, vmax;
    float xn;
    const char* tip;
};

class CurveTooltipText : public CurveTest, public ::testing::WithParamInterface<TipCase> {};

TEST_P(CurveTooltipText, HoverPreviewsTheMapping) {
    const TipCase c = GetParam();
    // This view's width must make the fractions exact, or the case tests rounding instead.
    ASSERT_EQ(X(c.xn) / W(), c.xn);
    SetEntry(kActive, [&](NoteSetting& s) {
        s.exp = c.exp;
        s.vcut = static_cast<std::uint8_t>(c.vcut);
        s.vmax = static_cast<std::uint8_t>(c.vmax);
    });
    Move(c.xn, 0.1f);
    EXPECT_EQ(Tip(), QString::fromLatin1(c.tip));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CurveTooltipText,
    ::testing::Values(
        // 63.5 is shown as 63 but mapped as 64
        TipCase{2.0, 0, 127, 0.5f, " 63-> 32"}, TipCase{1.0, 0, 127, 0.5f, " 63-> 64"},
        TipCase{1.0, 64, 127, 0.5f, " 63-> 64"}, TipCase{1.0, 65, 127, 0.5f, " 63-> 0"},
        TipCase{1.0, 0, 100, 0.5f, " 63-> 50"}, TipCase{2.0, 0, 127, 0.25f, " 31-> 8"},
        TipCase{1.0, 0, 127, 0.0625f, " 7-> 8"}));

// ---- Scroll bars ----

struct BarCase {
    const char* name;
    ValueBar* Ui::MainWindow::*bar;
    QLabel* Ui::MainWindow::*label;
    std::uint8_t NoteSetting::*field;
    int value;
    int thumb;
    bool topIs127; // the bar's position for a value counts from its top
    int At(int v) const { return topIs127 ? MainWindow::VmaxAt(v) : v; }
};

class CurveBar : public CurveTest, public ::testing::WithParamInterface<BarCase> {};

TEST_P(CurveBar, ChangeStoresShowsAndRedraws) {
    const BarCase c = GetParam();
    QScrollBar* bar = ui().*c.bar;
    const QImage before = Curve();
    bar->setValue(c.At(c.value));
    EXPECT_EQ(Active().*c.field, c.value);
    EXPECT_EQ((ui().*c.label)->text(), QString::number(c.value));
    EXPECT_NE(Curve(), before);
}

TEST_P(CurveBar, ThumbDragShowsTheStoredValueUntilRelease) {
    const BarCase c = GetParam();
    QScrollBar* bar = ui().*c.bar;
    bar->setValue(c.At(c.value));
    const QImage shown = Curve();

    bar->setSliderDown(true);
    bar->setSliderPosition(c.At(c.thumb)); // sliderMoved
    EXPECT_EQ(Active().*c.field, c.value);
    EXPECT_EQ((ui().*c.label)->text(), QString::number(c.value));
    EXPECT_EQ(Curve(), shown);

    bar->setSliderDown(false); // release: the change handler takes the thumb's value
    EXPECT_EQ(Active().*c.field, c.thumb);
    EXPECT_EQ((ui().*c.label)->text(), QString::number(c.thumb));
}

INSTANTIATE_TEST_SUITE_P(
    Bars, CurveBar,
    ::testing::Values(BarCase{"vcut", &Ui::MainWindow::cutOffBar, &Ui::MainWindow::cutOffValue,
                              &NoteSetting::vcut, 64, 100, false},
                      BarCase{"vmax", &Ui::MainWindow::maximumBar, &Ui::MainWindow::maximumValue,
                              &NoteSetting::vmax, 90, 30, true}),
    [](const auto& p) { return std::string(p.param.name); });

// Every way of moving the Max Vel bar moves its thumb toward where the user points, and
// the value follows the thumb: 127 at the top.
TEST_F(CurveTest, MaximumBarMovesTowardWhereTheUserPoints) {
    QScrollBar* bar = ui().maximumBar;
    ASSERT_EQ(bar->orientation(), Qt::Vertical);
    form->show();
    Pump();
    QStyleOptionSlider opt;
    opt.initFrom(bar);
    opt.orientation = Qt::Vertical;
    opt.minimum = bar->minimum();
    opt.maximum = bar->maximum();
    const auto centre = [&](QStyle::SubControl sc) {
        opt.sliderPosition = opt.sliderValue = bar->value();
        return bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt, sc, bar).center();
    };
    const auto vmax = [&] { return static_cast<int>(Active().vmax); };
    ASSERT_EQ(vmax(), 127);
    EXPECT_LT(centre(QStyle::SC_ScrollBarSlider).y(), bar->height() / 3) << "127 is at the top";

    QTest::mouseClick(bar, Qt::LeftButton, {}, centre(QStyle::SC_ScrollBarSubLine));
    EXPECT_EQ(vmax(), 127) << "the up arrow at the top does nothing";
    QTest::mouseClick(bar, Qt::LeftButton, {}, centre(QStyle::SC_ScrollBarAddLine));
    EXPECT_EQ(vmax(), 126) << "the down arrow lowers";
    QTest::mouseClick(bar, Qt::LeftButton, {}, centre(QStyle::SC_ScrollBarSubLine));
    EXPECT_EQ(vmax(), 127) << "the up arrow raises";

    const QPoint low(bar->width() / 2, bar->height() - 20);
    const int thumbBefore = centre(QStyle::SC_ScrollBarSlider).y();
    QTest::mouseClick(bar, Qt::LeftButton, {}, low);
    EXPECT_LT(vmax(), 127) << "a click in the trough below the thumb lowers";
    EXPECT_GT(centre(QStyle::SC_ScrollBarSlider).y(), thumbBefore) << "and the thumb follows";

    const int before = vmax();
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Up);
    EXPECT_EQ(vmax(), before + 1) << "Up raises";
    QWheelEvent wheelUp(QPointF(5, 5), bar->mapToGlobal(QPointF(5, 5)), {}, {0, 120}, Qt::NoButton,
                        {}, Qt::NoScrollPhase, false);
    QApplication::sendEvent(bar, &wheelUp);
    EXPECT_GT(vmax(), before + 1) << "the wheel turned up raises";
    EXPECT_EQ(ui().maximumValue->text(), QString::number(vmax()));
}

// ---- Curve pixels ----

TEST_F(CurveTest, IdentityCurveClimbsTheDiagonal) {
    const QImage img = Curve();
    const int w = img.width();
    const int h = img.height();
    ASSERT_EQ(w, ui().curveView->ScaleWidth());
    ASSERT_EQ(h, ui().curveView->ScaleHeight());
    for (int x = 2; x < w - 1; x += 5) {
        // out = v = 127 * x / w; drawn at h - h * out / 128
        const double expected = h - h * (127.0 * x / w) / 128.0;
        const auto y = TopmostDark(img, x);
        ASSERT_TRUE(y.has_value()) << "column " << x;
        EXPECT_NEAR(*y, expected, 2.5) << "column " << x;
    }
    // The top reaches 127/128 of the height at about 0.998 of the width, not the top edge.
    const int lastX = static_cast<int>(0.998 * w);
    const auto top = TopmostDark(img, lastX);
    ASSERT_TRUE(top.has_value());
    EXPECT_NEAR(*top, h - h * 127.0 / 128.0, 1.0);
    for (int x = 0; x < w - 3; ++x)
        EXPECT_FALSE(Dark(img.pixel(x, 0))) << "top row at " << x;
    // Starts at the bottom-left corner.
    EXPECT_TRUE(TopmostDark(img, 0).value_or(0) >= h - 3);
}

TEST_F(CurveTest, CutOffRunsAlongTheBottomEdge) {
    ui().cutOffBar->setValue(64);
    const QImage img = Curve();
    const int w = img.width();
    const int h = img.height();
    // Up to the cut-off (about half the width) the curve lies on the bottom edge.
    for (int x = 1; x < w / 2 - 2; ++x) {
        const auto y = TopmostDark(img, x);
        ASSERT_TRUE(y.has_value()) << "bottom edge not drawn at column " << x;
        EXPECT_GE(*y, h - 2) << "column " << x;
    }
    // From there it jumps to the identity: at 3/4 of the width it is 3/4 up.
    const auto y = TopmostDark(img, 3 * w / 4);
    ASSERT_TRUE(y.has_value());
    EXPECT_NEAR(*y, h - h * (127.0 * 0.75) / 128.0, 2.5);
}

// ---- Bulk edits ----

class BulkTest : public CurveTest {
protected:
    const NoteSetting& N(int k) { return form->notes()[static_cast<std::size_t>(k)]; }
    void Set(int k, double exp, int vcut, int vmax, std::int16_t selected = kTrue) {
        SetEntry(k, [&](NoteSetting& s) {
            s.exp = exp;
            s.vcut = static_cast<std::uint8_t>(vcut);
            s.vmax = static_cast<std::uint8_t>(vmax);
            s.selected = selected;
        });
    }
    // Blue (selected) and magenta (selected and active) marks on the window.
    int SelectionMarkPixels() {
        const QImage& m = ui().keyboardView->Marks();
        int n = 0;
        for (int y = 0; y < m.height(); ++y)
            for (int x = 0; x < m.width(); ++x) {
                const QColor c = QColor::fromRgba(m.pixel(x, y));
                if (c.alpha() > 200 && c.blue() > 200 && c.green() < 60)
                    ++n;
            }
        return n;
    }
    int RedMarkPixels() {
        const QImage& m = ui().keyboardView->Marks();
        int n = 0;
        for (int y = 0; y < m.height(); ++y)
            for (int x = 0; x < m.width(); ++x) {
                const QColor c = QColor::fromRgba(m.pixel(x, y));
                if (c.alpha() > 200 && c.red() > 200 && c.green() < 60 && c.blue() < 60)
                    ++n;
            }
        return n;
    }
};

struct SpreadRow {
    int key;
    double exp;
    int vcut, vmax;
};

TEST_F(BulkTest, SpreadInterpolatesBetweenTwoSelectedKeys) {
    Set(60, 1.0, 0, 127);
    Set(64, 3.0, 20, 100);
    const NoteSetting left = N(59);
    const NoteSetting right = N(65);
    ui().spreadButton->click();

    const SpreadRow rows[] = {
        {60, 1.0, 0, 127},          {61, 1.263554274, 5, 120},
        {62, 1.618033989, 10, 114}, // 113.5, half to even
        {63, 2.137080745, 15, 107}, {64, 3.0, 20, 100},
    };
    for (const SpreadRow& r : rows) {
        SCOPED_TRACE(r.key);
        EXPECT_NEAR(N(r.key).exp, r.exp, 1e-9);
        EXPECT_EQ(N(r.key).vcut, r.vcut);
        EXPECT_EQ(N(r.key).vmax, r.vmax);
        EXPECT_EQ(N(r.key).outnote, r.key);
    }
    EXPECT_EQ(N(59), left);
    EXPECT_EQ(N(65), right);
    EXPECT_EQ(N(61).selected, kFalse); // the selection is not widened
    EXPECT_EQ(N(60).selected, kTrue);
    // A full refresh: the active key's labels and bars follow.
    EXPECT_EQ(ui().maximumValue->text(), QStringLiteral("127"));
    EXPECT_EQ(ui().exponentValue->text(), QStringLiteral("1"));
}

TEST_F(BulkTest, SpreadRefreshesTheActiveKeysControls) {
    Set(58, 1.0, 0, 127);
    Set(62, 3.0, 20, 100);
    ui().spreadButton->click(); // 60 is in the middle of the pair
    EXPECT_EQ(ui().cutOffValue->text(), QStringLiteral("10"));
    EXPECT_EQ(ui().maximumValue->text(), QStringLiteral("114"));
    EXPECT_EQ(ui().cutOffBar->value(), 10);
    EXPECT_EQ(MainWindow::VmaxAt(ui().maximumBar->value()), 114);
    EXPECT_EQ(ui().exponentValue->text(), FormatExponent(N(60).exp));
}

TEST_F(BulkTest, SpreadTreatsEachSelectedKeyAsTheEndOfOnePairAndStartOfTheNext) {
    Set(40, 1.0, 0, 127);
    Set(50, 2.0, 10, 100);
    Set(60, 0.5, 30, 60, 1); // any non-zero value counts as selected
    const NoteSetting outsideLow = N(39);
    const NoteSetting outsideHigh = N(61);
    ui().spreadButton->click();

    const auto tanMid = [](double a, double b) {
        return std::tan((std::atan(a) + std::atan(b)) / 2.0);
    };
    const SpreadRow rows[] = {
        {40, 1.0, 0, 127},
        {45, tanMid(1.0, 2.0), 5, 114}, // 113.5 -> 114
        {50, 2.0, 10, 100},             // shared end keeps its own values
        {55, tanMid(2.0, 0.5), 20, 80},
        {60, 0.5, 30, 60},
    };
    for (const SpreadRow& r : rows) {
        SCOPED_TRACE(r.key);
        EXPECT_NEAR(N(r.key).exp, r.exp, 1e-12);
        EXPECT_EQ(N(r.key).vcut, r.vcut);
        EXPECT_EQ(N(r.key).vmax, r.vmax);
    }
    EXPECT_EQ(N(39), outsideLow);
    EXPECT_EQ(N(61), outsideHigh);
}

TEST_F(BulkTest, SpreadChangesNothingWithoutAPairApart) {
    struct Case {
        const char* what;
        std::vector<int> selected;
    };
    const Case cases[] = {{"none", {}}, {"one", {70}}, {"adjacent", {70, 71}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ui().resetAllButton->click();
        Set(70, 2.5, 12, 90, kFalse);
        Set(71, 0.7, 40, 110, kFalse);
        for (int k : c.selected)
            SetEntry(k, [](NoteSetting& s) { s.selected = kTrue; });
        const NoteTable before = form->notes();
        ui().spreadButton->click();
        for (int k = 0; k < kNoteTableSize; ++k) {
            const NoteSetting& a = before[static_cast<std::size_t>(k)];
            const NoteSetting& b = N(k);
            // Adjacent ends are rewritten with themselves: equal up to rounding of tan(atan).
            EXPECT_NEAR(b.exp, a.exp, 1e-12) << k;
            EXPECT_EQ(b.vcut, a.vcut) << k;
            EXPECT_EQ(b.vmax, a.vmax) << k;
            EXPECT_EQ(b.selected, a.selected) << k;
            EXPECT_EQ(b.outnote, a.outnote) << k;
        }
    }
}

TEST_F(BulkTest, ResetActiveStraightensOnlyTheActiveCurve) {
    ui().cutOffBar->setValue(30);
    ui().maximumBar->setValue(MainWindow::VmaxAt(90));
    Down(0.5f, 0.25f);
    Up(0.5f, 0.25f);
    Set(62, 3.0, 5, 50);
    Set(60, Active().exp, 30, 90); // the active key is selected too
    ASSERT_NE(Active().exp, 1.0);
    const NoteTable before = form->notes();

    ui().resetActiveButton->click();
    EXPECT_DOUBLE_EQ(Active().exp, 1.0);
    EXPECT_EQ(Active().vcut, 30);
    EXPECT_EQ(Active().vmax, 90);
    EXPECT_EQ(ui().exponentValue->text(), QStringLiteral("1"));
    for (int k = 0; k < kNoteTableSize; ++k) {
        if (k != kActive) {
            EXPECT_EQ(N(k), before[static_cast<std::size_t>(k)]) << k;
        }
    }
}

TEST_F(BulkTest, ResetAllRestoresCurvesButNotSelectionOrOutnote) {
    const QImage identity = Curve();
    ui().cutOffBar->setValue(30);
    ui().maximumBar->setValue(MainWindow::VmaxAt(90));
    Set(21, 0.3, 5, 10);
    Set(108, 4.0, 100, 127, 1);
    SetEntry(70, [](NoteSetting& s) { s.outnote = 75; });
    Set(20, 2.0, 3, 4, kFalse); // outside the keyboard: left alone
    Set(109, 2.0, 3, 4, kFalse);
    const NoteTable before = form->notes();
    ASSERT_NE(Curve(), identity);

    ui().resetAllButton->click();
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        SCOPED_TRACE(k);
        EXPECT_DOUBLE_EQ(N(k).exp, 1.0);
        EXPECT_EQ(N(k).vcut, 0);
        EXPECT_EQ(N(k).vmax, 127);
        EXPECT_EQ(N(k).selected, before[static_cast<std::size_t>(k)].selected);
        EXPECT_EQ(N(k).outnote, before[static_cast<std::size_t>(k)].outnote);
    }
    EXPECT_EQ(N(20), before[20]);
    EXPECT_EQ(N(109), before[109]);
    // Every control that shows the active entry follows it.
    EXPECT_EQ(Curve(), identity);
    EXPECT_EQ(ui().cutOffValue->text(), QStringLiteral("0"));
    EXPECT_EQ(ui().maximumValue->text(), QStringLiteral("127"));
    EXPECT_EQ(ui().cutOffBar->value(), 0);
    EXPECT_EQ(MainWindow::VmaxAt(ui().maximumBar->value()), 127);
}

TEST_F(BulkTest, CopyToAllGivesEveryKeyTheActiveCurve) {
    Down(0.5f, 0.25f);
    Up(0.5f, 0.25f);
    ui().cutOffBar->setValue(10);
    ui().maximumBar->setValue(MainWindow::VmaxAt(110));
    ASSERT_DOUBLE_EQ(Active().exp, 2.0);
    SetEntry(30, [](NoteSetting& s) { s.outnote = 42; });
    const NoteSetting below = N(20);
    const NoteSetting above = N(109);

    ui().copyToAllButton->click();
    for (int k = kLowestKey; k <= kHighestKey; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(MapVelocity(64, N(k)), 28);
        EXPECT_DOUBLE_EQ(N(k).exp, 2.0);
        EXPECT_EQ(N(k).vcut, 10);
        EXPECT_EQ(N(k).vmax, 110);
    }
    EXPECT_EQ(N(30).outnote, 42);
    EXPECT_EQ(N(20), below);
    EXPECT_EQ(N(109), above);
}

TEST_F(BulkTest, UnselectAllRemovesEverySelectionMark) {
    for (int k : {21, 40, 60, 61, 108})
        SetEntry(k, [](NoteSetting& s) { s.selected = kTrue; });
    ASSERT_GT(SelectionMarkPixels(), 0);

    ui().unselectAllButton->click();
    for (int k = kLowestKey; k <= kHighestKey; ++k)
        EXPECT_EQ(N(k).selected, kFalse) << k;
    EXPECT_EQ(SelectionMarkPixels(), 0);
    EXPECT_GT(RedMarkPixels(), 0); // the active key keeps its mark
}

} // namespace
} // namespace velomire::testing

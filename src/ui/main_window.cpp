#include "ui/main_window.h"

#include "core/keyboard/note_names.h"
#include "ui/calibration_window.h"
#include "ui/device_controls.h"
#include "ui/listen_window.h"
#include "ui/settings_controls.h"
#include "ui_main_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QScreen>
#include <QShortcut>
#include <QTimer>

#include <functional>
#include <tuple>

namespace velomire {

namespace {

const QString kTitle = QStringLiteral("Velomire");

QString BaseTitle() {
    return QStringLiteral("Velomire v%1 -  by the Velomire developers")
        .arg(QStringLiteral(VELOMIRE_VERSION).section(QLatin1Char('.'), 0, 1));
}

} // namespace

MainWindow::MainWindow(MidiSystem& midi, MessageBoxes& boxes, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::MainWindow>()), boxes_(boxes),
      session_(midi, this) {
    ui_->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/velomire-32.png")));
    // A fixed size alone does not keep a window manager from offering Maximize.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(725, 358);
    // Two lines one pixel apart: dark above, light below.
    for (const auto& [line, role] :
         {std::pair{ui_->darkLine, QPalette::Dark}, std::pair{ui_->lightLine, QPalette::Light}}) {
        QPalette p = line->palette();
        p.setColor(QPalette::Window, palette().color(role));
        line->setPalette(p);
    }
    for (PickList* list : {ui_->inputList, ui_->outputList, ui_->transposeList, ui_->settingsList})
        list->Configure();
    ui_->settingsList->setEditText(QStringLiteral("Default"));
    settings_ = new SettingsControls(
        *ui_->settingsList, session_, boxes_, [this](const QString& text) { Inform(text); },
        [this] { ui_->keyboardView->setFocus(); }, this);
    devices_ = new DeviceControls(
        *ui_->outputList, *ui_->outputMissingMark, *ui_->inputList, *ui_->inputMissingMark,
        session_, [this](const QString& text) { Inform(text); }, this);
    // A press on a scroll bar (thumb, arrow or trough) is one gesture until released.
    ui_->cutOffBar->installEventFilter(this);
    ui_->maximumBar->installEventFilter(this);
    ConnectControls();
    OnSessionChanged(Session::Document);
}

MainWindow::~MainWindow() {
    // It unregisters its audio input through the session, which goes before the children.
    delete listen_.data();
    Stop();
}

void MainWindow::ConnectControls() {
    Ui::MainWindow& u = *ui_;
    Session* s = &session_;
    connect(s, &Session::Changed, this, &MainWindow::OnSessionChanged);
    connect(s, &Session::KeySounding, this, [this](int in, int out, int velocity, int mapped) {
        ui_->keyboardView->MarkSounding(out, velocity, mapped);
        if (in == session_.activenote())
            ui_->curveView->ShowPlayed(lastPlayed_ = velocity);
    });
    connect(s, &Session::KeyReleased, u.keyboardView, &KeyboardView::MarkReleased);
    connect(u.transposeList, &PickList::Picked, s,
            [s](int at) { s->Transpose(at - kTransposeRange); });
    // clicked, not toggled: only the user's click is an edit; showing the session is not.
    connect(u.remapToChannelOne, &QCheckBox::clicked, s, &Session::SetRemap);
    connect(u.notesOffButton, &QPushButton::clicked, this, &MainWindow::OnNotesOff);
    connect(u.saveButton, &QPushButton::clicked, settings_, &SettingsControls::OnSave);
    connect(u.calibrateButton, &QPushButton::clicked, this, &MainWindow::OnCalibrate);
    connect(u.listenButton, &QPushButton::clicked, this, &MainWindow::OnListen);
    connect(u.copyToAllButton, &QPushButton::clicked, s, &Session::CopyToAll);
    connect(u.spreadButton, &QPushButton::clicked, s, &Session::Spread);
    connect(u.resetActiveButton, &QPushButton::clicked, s, &Session::ResetActive);
    connect(u.resetAllButton, &QPushButton::clicked, s, &Session::ResetAll);
    connect(u.unselectAllButton, &QPushButton::clicked, s, &Session::ClearSelection);
    // Without tracking, a value arrives when a thumb drag ends, or from an arrow, the
    // trough, a key or the wheel; the labels keep the stored value while the thumb moves.
    connect(u.cutOffBar, &QScrollBar::valueChanged, this, [this](int v) {
        if (!showing_)
            session_.SetCutOff(v, barGesture_ ? barGesture_ : Burst(ui_->cutOffBar));
    });
    connect(u.maximumBar, &QScrollBar::valueChanged, this, [this](int v) {
        if (!showing_)
            session_.SetMaximum(VmaxAt(v), barGesture_ ? barGesture_ : Burst(ui_->maximumBar));
    });
    connect(u.curveView, &CurveView::Bent, this,
            [this](int steps) { session_.BendActiveBy(steps, Burst(ui_->curveView)); });
    connect(u.curveView, &CurveView::DragStarted, this,
            [this] { dragGesture_ = session_.NewGesture(); });
    connect(u.curveView, &CurveView::Dragged, this,
            [this](const PointerOnCurve& p) { session_.BendActiveCurve(p, dragGesture_); });
    connect(u.keyboardView, &KeyboardView::KeyChosen, s, &Session::SetActiveKey);
    connect(u.keyboardView, &KeyboardView::KeyToggled, s, &Session::ToggleSelected);
    connect(u.keyboardView, &KeyboardView::KeyHovered, this, [this](int note) {
        ui_->hoverNoteNumber->setText(QString::number(note));
        ui_->hoverNoteName->setText(note_num2name(note));
    });

    // Undo and redo work in every window of the program (the calibration window too),
    // whatever has the focus: the settings box's text field leaves them to these.
    const QList<std::tuple<QKeySequence, Qt::ShortcutContext, std::function<void()>>> keys = {
        {QKeySequence::Undo, Qt::ApplicationShortcut, [s] { s->Undo(); }},
        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), Qt::ApplicationShortcut,
         [s] { s->Redo(); }},
        {QKeySequence(Qt::CTRL | Qt::Key_Y), Qt::ApplicationShortcut, [s] { s->Redo(); }},
        {QKeySequence::Save, Qt::WindowShortcut, [this] { settings_->OnSave(); }},
        {QKeySequence(Qt::CTRL | Qt::Key_Q), Qt::ApplicationShortcut, [this] { close(); }},
    };
    for (const auto& [key, context, act] : keys)
        connect(new QShortcut(key, this, nullptr, nullptr, context), &QShortcut::activated, this,
                act);
}

// ---- Start and stop ----

void MainWindow::Start() {
    starting_ = true;
    // Centre on the screen; the size stays.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect s = screen->geometry();
        const QSize f = frameGeometry().size();
        move(s.left() + (s.width() - f.width()) / 2, s.top() + (s.height() - f.height()) / 2);
    }
    for (int offset = -kTransposeRange; offset <= kTransposeRange; ++offset)
        ui_->transposeList->addItem(FormatSigned(offset));
    ui_->keyboardView->DrawKeyboard();
    OnSessionChanged(Session::Changes(~0u));

    // Devices; from now on they are followed as they come and go.
    session_.FollowDevices();
    devices_->ChooseFirst();
    settings_->FillList();
    const QString name = ui_->settingsList->currentText();
    if (session_.Store().At(name) != SettingsStore::Occupant::Nothing)
        settings_->Load(name);
    // Loading the Default is where the user starts, not a step to undo.
    session_.ClearHistory();
    ui_->keyboardView->setFocus();
    starting_ = false;
}

void MainWindow::Stop() {
    if (!std::exchange(stopped_, true))
        session_.Shutdown();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!stopped_ && !settings_->MayDiscard(ui_->settingsList->currentText())) {
        event->ignore();
        return;
    }
    Stop();
    event->accept();
}

void MainWindow::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    // A box over a window not yet drawn would hide what it speaks of.
    if (!std::exchange(painted_, true) && !waitingMessages_.isEmpty())
        QTimer::singleShot(0, this, [this] {
            for (const QString& text : std::exchange(waitingMessages_, {}))
                boxes_.Inform(kTitle, text);
        });
}

void MainWindow::Inform(const QString& text) {
    if (starting_ && !painted_)
        waitingMessages_ << text;
    else
        boxes_.Inform(kTitle, text);
}

// ---- Showing the session ----

void MainWindow::OnSessionChanged(Session::Changes what) {
    if (what & Session::ActiveKey)
        lastPlayed_ = -1; // played on another key
    if (what & (Session::Curves | Session::ActiveKey))
        ShowActiveEntry();
    if (what & (Session::Selection | Session::ActiveKey))
        ui_->keyboardView->ShowMarks(session_.notes(), session_.activenote());
    if (what & Session::Transposition) {
        // A setting's own output notes are no offset of the list: none is shown as chosen.
        const std::optional<int> k = session_.transposition();
        ui_->transposeList->setCurrentIndex(k ? *k + kTransposeRange : -1);
        ui_->transposeList->setToolTip(
            k ? QString()
              : QStringLiteral("The output notes are the setting's own: no single "
                               "transposition plays them."));
    }
    if (what & Session::Remap)
        ui_->remapToChannelOne->setChecked(session_.remap());
    const QString& name = session_.SettingName();
    setWindowTitle(BaseTitle() + (name.isEmpty() ? QString() : QStringLiteral(" - ") + name) +
                   QStringLiteral("[*]"));
    setWindowModified(session_.Modified());
}

void MainWindow::ShowActiveEntry() {
    const NoteSetting& a = session_.active();
    ui_->activeNoteName->setText(note_num2name(session_.activenote()));
    ui_->curveView->SetCurve(a);
    ui_->curveView->ShowPlayed(lastPlayed_ < 0 ? std::nullopt : std::optional(lastPlayed_));
    ui_->exponentValue->setText(FormatExponent(a.exp));
    ui_->cutOffValue->setText(QString::number(a.vcut));
    ui_->maximumValue->setText(QString::number(a.vmax));
    showing_ = true;
    ui_->cutOffBar->setValue(a.vcut);
    ui_->maximumBar->setValue(kMaxVelocity - a.vmax);
    showing_ = false;
}

int MainWindow::Burst(const QObject* control) {
    constexpr auto kBurstPause = std::chrono::milliseconds(500);
    const auto now = std::chrono::steady_clock::now();
    if (control != burstControl_ || now - burstLast_ > kBurstPause) {
        burstControl_ = control;
        burstGesture_ = session_.NewGesture();
    }
    burstLast_ = now;
    return burstGesture_;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui_->cutOffBar || watched == ui_->maximumBar) {
        if (event->type() == QEvent::MouseButtonPress)
            barGesture_ = session_.NewGesture();
        else if (event->type() == QEvent::MouseButtonRelease)
            QTimer::singleShot(0, this, [this] { barGesture_ = 0; });
    }
    return QWidget::eventFilter(watched, event);
}

// ---- Devices and the message path ----

void MainWindow::SelectByProgram(QComboBox* list, int index) {
    list->setCurrentIndex(index);
    if (list == ui_->outputList)
        devices_->OnPicked(Session::Direction::Output);
    else if (list == ui_->inputList)
        devices_->OnPicked(Session::Direction::Input);
    else if (list == ui_->transposeList)
        session_.Transpose(index - kTransposeRange);
    else if (list == ui_->settingsList)
        settings_->OnPicked();
}

void MainWindow::OnNotesOff() {
    // Disabling the focused button would hand the focus on to the next control, where the
    // next arrow key would change something.
    QWidget* focus = focusWidget();
    ui_->notesOffButton->setEnabled(false);
    session_.Panic();
    for (int note = 0; note <= 127; ++note)
        ui_->keyboardView->MarkReleased(note);
    ui_->notesOffButton->setEnabled(true);
    if (focus)
        focus->setFocus();
}

void MainWindow::OnCalibrate() {
    // One at a time: a second press brings the open one forward.
    if (!calibration_) {
        calibration_ = new CalibrationWindow(session_, boxes_, this);
        calibration_->show();
    }
    calibration_->raise();
    calibration_->activateWindow();
}

void MainWindow::OnListen() {
    if (!listen_) {
        listen_ = new ListenWindow(session_, boxes_, this);
        listen_->show();
    }
    listen_->raise();
    listen_->activateWindow();
}

// ---- Settings ----

void MainWindow::LoadSettingsFile(const QString& name) {
    settings_->Load(name);
}

} // namespace velomire

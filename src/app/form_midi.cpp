#include "app/form_midi.h"

#include "app/calibration_window.h"
#include "keyboard/note_names.h"
#include "settings/settings_store.h"
#include "ui_form_midi.h"
#include "velocity/curve_math.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QToolTip>

#include <cstdlib>

namespace velomire {

namespace {

const QString kTitle = QStringLiteral("Velomire");
const QString kOutputFailed = QStringLiteral("Setting Midi output failed");
constexpr int kMarkRadius = 5;
constexpr int kStartupActiveNote = 60;

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

QString BaseTitle() {
    return QStringLiteral("Velomire v%1 -  by the Velomire developers")
        .arg(QStringLiteral(VELOMIRE_VERSION).section(QLatin1Char('.'), 0, 1));
}

} // namespace

Form_midi::Form_midi(MidiSystem& midi, MessageBoxes& boxes, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::Form_midi>()), m_boxes(boxes),
      m_session(midi, this), m_store(SettingsStore::InWorkingDirectory()) {
    m_ui->setupUi(this);
    UpdateTitle();
    setWindowIcon(QIcon(QStringLiteral(":/velomire-32.png")));
    setFixedSize(725, 358);
    m_marks = TransparentImage(size());

    // Two lines one pixel apart: dark above, light below.
    QPalette dark = m_ui->Line1->palette();
    dark.setColor(QPalette::Window, palette().color(QPalette::Dark));
    m_ui->Line1->setPalette(dark);
    QPalette light = m_ui->Line2->palette();
    light.setColor(QPalette::Window, palette().color(QPalette::Light));
    m_ui->Line2->setPalette(light);

    for (PickList* list :
         {m_ui->ComboMidiIn, m_ui->ComboMidiOut, m_ui->cmb_transpose, m_ui->cmb_settings})
        list->Configure();
    m_ui->cmb_settings->setEditText(QStringLiteral("Default"));
    // A press on a scroll bar (thumb, arrow or trough) is one gesture until released.
    m_ui->sc_vcut->installEventFilter(this);
    m_ui->sc_vmax->installEventFilter(this);

    m_ui->piano->SetKeyTable(&m_keys);
    connect(&m_session, &Session::KeySounding, m_ui->piano,
            [piano = m_ui->piano](int, int out, int velocity, int mapped) {
                piano->MarkSounding(out, velocity, mapped);
            });
    connect(&m_session, &Session::KeyReleased, m_ui->piano, &KeyboardView::MarkReleased);
    connect(&m_session, &Session::KeySounding, this, [this](int in, int, int velocity, int) {
        if (in == m_session.activenote()) {
            m_lastPlayed = velocity;
            ShowPlayedOnCurve();
        }
    });
    connect(&m_session, &Session::DevicesChanged, this, &Form_midi::ShowDevices);
    // A list is never rebuilt while open, so what changed meanwhile shows once it closes.
    // Queued: a pick that closed it must first act on the entries the user saw.
    for (PickList* list : {m_ui->ComboMidiIn, m_ui->ComboMidiOut})
        connect(list, &PickList::Closed, this, &Form_midi::ShowDevices, Qt::QueuedConnection);
    ConnectHandlers();
    AddShortcuts();
}

Form_midi::~Form_midi() {
    Form_Unload();
}

void Form_midi::ConnectHandlers() {
    Ui::Form_midi& u = *m_ui;
    connect(&m_session, &Session::Changed, this, &Form_midi::OnSessionChanged);
    connect(u.ComboMidiOut, &PickList::Picked, this, &Form_midi::ComboMidiOut_Click);
    connect(u.ComboMidiIn, &PickList::Picked, this, &Form_midi::ComboMidiIn_Click);
    connect(u.cmb_transpose, &PickList::Picked, this, &Form_midi::cmb_transpose_Click);
    connect(u.cmb_settings, &PickList::Picked, this, &Form_midi::cmb_settings_Click);
    connect(u.cmb_settings, &PickList::ReturnPressed, this, &Form_midi::cmd_save_Click);
    // clicked, not toggled: only the user's click is an edit; showing the session is not.
    connect(u.chk_remap, &QCheckBox::clicked, this, &Form_midi::chk_remap_Click);
    connect(u.cmd_silence, &QPushButton::clicked, this, &Form_midi::cmd_silence_Click);
    connect(u.cmd_save, &QPushButton::clicked, this, &Form_midi::cmd_save_Click);
    connect(u.cmd_calibrate, &QPushButton::clicked, this, &Form_midi::cmd_calibrate_Click);
    connect(u.VelToAll, &QPushButton::clicked, this, &Form_midi::VelToAll_Click);
    connect(u.Spread_Exp, &QPushButton::clicked, this, &Form_midi::Spread_Exp_Click);
    connect(u.Reset_SelVel, &QPushButton::clicked, this, &Form_midi::Reset_SelVel_Click);
    connect(u.Reset_Allvel, &QPushButton::clicked, this, &Form_midi::Reset_Allvel_Click);
    connect(u.Clear_Select, &QPushButton::clicked, this, &Form_midi::Clear_Select_Click);
    // Without tracking, a value arrives when a thumb drag ends, or from an arrow, the
    // trough, a key or the wheel; the labels keep the stored value while the thumb moves.
    connect(u.sc_vcut, &QScrollBar::valueChanged, this, &Form_midi::sc_vcut_Change);
    connect(u.sc_vmax, &QScrollBar::valueChanged, this, &Form_midi::sc_vmax_Change);
    connect(u.Picture1, &CurveView::MouseDown, this, &Form_midi::Picture1_MouseDown);
    connect(u.Picture1, &CurveView::MouseMove, this, &Form_midi::Picture1_MouseMove);
    connect(u.Picture1, &CurveView::MouseUp, this, &Form_midi::Picture1_MouseUp);
    connect(u.piano, &KeyboardView::Click, this, &Form_midi::piano_Click);
    connect(u.piano, &KeyboardView::DblClick, this, &Form_midi::piano_DblClick);
    connect(u.piano, &KeyboardView::KeyDown, this, &Form_midi::piano_KeyDown);
    connect(u.piano, &KeyboardView::MouseMove, this, &Form_midi::piano_MouseMove);
}

void Form_midi::AddShortcuts() {
    const auto add = [this](const QList<QKeySequence>& keys, auto slot) {
        for (const QKeySequence& k : keys)
            connect(new QShortcut(k, this), &QShortcut::activated, this, slot);
    };
    add({QKeySequence::Undo}, [this] { m_session.undoStack().undo(); });
    add({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)},
        [this] { m_session.undoStack().redo(); });
    add({QKeySequence::Save}, [this] { cmd_save_Click(); });
    add({QKeySequence(Qt::CTRL | Qt::Key_Q)}, [this] { close(); });
}

// ---- Startup and shutdown ----

void Form_midi::Form_Load() {
    m_loading = true;
    // Centre on the screen; the size stays.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect s = screen->geometry();
        const QSize f = frameGeometry().size();
        move(s.left() + (s.width() - f.width()) / 2, s.top() + (s.height() - f.height()) / 2);
    }
    PickList* transpose = m_ui->cmb_transpose;
    transpose->clear();
    for (int offset = -kTransposeRange; offset <= kTransposeRange; ++offset)
        transpose->addItem(FormatSigned(offset));

    // What a new session plays with: identity output notes and channels, the 88 keys'
    // startup curves, C4 active. Entry 0 gets exp 1 as the active entry before the key
    // table exists.
    SessionState start;
    TransposeOutnotes(start.notes, 0);
    RemapChannels(start.channels, false);
    start.notes[0].exp = 1.0;
    const QRect piano = m_ui->piano->geometry();
    BuildKeyTable(
        m_keys, start.notes,
        {m_ui->piano->ScaleWidth(), m_ui->piano->ScaleHeight(), piano.top(), piano.height()});
    start.activenote = kStartupActiveNote;
    m_ui->piano->DrawKeyboard();
    m_session.Start(start);
    RefreshNoteDisplay();

    // Devices, output first.
    FillDeviceLists();
    // Settings list and the Default setting.
    FillSettingsList();
    const QString name = m_ui->cmb_settings->currentText();
    if (m_store.At(name) != SettingsStore::Occupant::Nothing)
        LoadSettingsFile(name);
    // Loading the Default is where the user starts, not a step to undo.
    m_session.undoStack().clear();
    m_session.FollowDevices();
    m_ui->piano->setFocus();
    m_loading = false;
}

void Form_midi::Form_Unload() {
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_session.Shutdown();
}

void Form_midi::closeEvent(QCloseEvent* event) {
    if (!m_unloaded && !MayDiscard(m_ui->cmb_settings->currentText())) {
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
}

void Form_midi::Inform(const QString& text) {
    if (m_loading && !m_painted)
        m_waitingMessages << text;
    else
        m_boxes.Inform(kTitle, text);
}

void Form_midi::ShowWaitingMessages() {
    const QStringList waiting = std::exchange(m_waitingMessages, {});
    for (const QString& text : waiting)
        m_boxes.Inform(kTitle, text);
}

// ---- Port selection ----

namespace {
const QString kNotEnabledText = QStringLiteral("Not Enabled");
const QString kNotAnswering = QStringLiteral("(the MIDI server is not answering)");
// List positions: output 0 "Not Enabled", 1 the virtual port, then the devices; input 0
// "Not Enabled", then the devices.
constexpr int kFirstOutputPosition = 2;
constexpr int kFirstInputPosition = 1;

// Shows `names` after "Not Enabled", and the chosen device as the selection (kept as an
// entry while it is missing), then `note`, when given, as an entry nobody can pick. Rebuilt
// only when the entries change, and never under the user's hand (an open list).
void ShowList(PickList* list, const std::vector<std::string>& names, const std::string& chosen,
              const QString& note) {
    QStringList entries{kNotEnabledText};
    for (const std::string& n : names)
        entries << QString::fromStdString(n);
    const QString current = QString::fromStdString(chosen);
    if (!chosen.empty() && !entries.contains(current))
        entries << current;
    if (!note.isEmpty())
        entries << note;
    if (list->view()->isVisible())
        return;
    QStringList shown;
    for (int i = 0; i < list->count(); ++i)
        shown << list->itemText(i);
    if (shown != entries) {
        list->clear();
        list->addItems(entries);
        if (!note.isEmpty())
            list->setItemData(list->count() - 1, 0, Qt::UserRole - 1); // no flags: not pickable
    }
    list->setCurrentIndex(chosen.empty() ? 0 : static_cast<int>(entries.indexOf(current)));
}
} // namespace

void Form_midi::FillDeviceLists() {
    m_session.LookAtDevices();
    // Shown whether or not the look changed anything: a MIDI system already gone leaves the
    // lists as empty as they began, and they still need their "Not Enabled".
    ShowDevices();
    // The first device of each list, output first; with none the list just shows "Not
    // Enabled" and nothing is chosen.
    // Counted on the session's lists: the shown ones may end with a note.
    if (m_session.Targets().size() + 1 > kFirstOutputPosition)
        SelectByProgram(m_ui->ComboMidiOut, kFirstOutputPosition);
    if (m_session.Sources().size() + 1 > kFirstInputPosition)
        SelectByProgram(m_ui->ComboMidiIn, kFirstInputPosition);
}

void Form_midi::ShowDevices() {
    using D = Session::Direction;
    const QString note = m_session.MidiAnswers() ? QString() : kNotAnswering;
    ShowList(m_ui->ComboMidiOut, m_session.Targets(), m_session.Chosen(D::Output), note);
    ShowList(m_ui->ComboMidiIn, m_session.Sources(), m_session.Chosen(D::Input), note);
    m_ui->out_missing->setVisible(m_session.State(D::Output) == Session::DeviceState::Missing);
    m_ui->in_missing->setVisible(m_session.State(D::Input) == Session::DeviceState::Missing);
}

void Form_midi::SelectByProgram(QComboBox* combo, int index) {
    combo->setCurrentIndex(index);
    if (combo == m_ui->ComboMidiOut)
        ComboMidiOut_Click();
    else if (combo == m_ui->ComboMidiIn)
        ComboMidiIn_Click();
    else if (combo == m_ui->cmb_transpose)
        cmb_transpose_Click();
    else if (combo == m_ui->cmb_settings)
        cmb_settings_Click();
}

void Form_midi::ComboMidiOut_Click() {
    const int at = m_ui->ComboMidiOut->currentIndex();
    const std::string name = at > 0 ? m_ui->ComboMidiOut->itemText(at).toStdString() : "";
    if (!m_session.ChooseOutput(name))
        Inform(kOutputFailed);
}

void Form_midi::ComboMidiIn_Click() {
    const int at = m_ui->ComboMidiIn->currentIndex();
    const std::string name = at > 0 ? m_ui->ComboMidiIn->itemText(at).toStdString() : "";
    if (!m_session.ChooseInput(name))
        Inform(kOutputFailed);
}

// ---- Message path controls ----

void Form_midi::cmb_transpose_Click() {
    m_session.Transpose(m_ui->cmb_transpose->currentIndex() - kTransposeRange);
}

void Form_midi::chk_remap_Click() {
    m_session.SetRemap(m_ui->chk_remap->isChecked());
}

void Form_midi::cmd_silence_Click() {
    // Disabling the focused button would hand the focus on to the next control, where the
    // next arrow key would change something.
    QWidget* focus = focusWidget();
    m_ui->cmd_silence->setEnabled(false);
    m_session.Panic();
    for (int note = 0; note <= 127; ++note)
        m_ui->piano->MarkReleased(note);
    m_ui->cmd_silence->setEnabled(true);
    if (focus)
        focus->setFocus();
}

// ---- Curve view and editor ----

void Form_midi::DrawCurve() {
    m_ui->Picture1->DrawCurve(m_session.active());
    m_ui->note_exp->setText(FormatExponent(m_session.active().exp));
}

void Form_midi::Picture1_MouseDown(float x, float y) {
    dragging = true;
    m_dragGesture = m_session.NewGesture();
    Picture1_MouseMove(x, y);
}

void Form_midi::Picture1_MouseMove(float x, float y) {
    CurveView* view = m_ui->Picture1;
    const float w = static_cast<float>(view->ScaleWidth());
    const PointerOnCurve p =
        PointerAt(x, y, w, static_cast<float>(view->ScaleHeight()), m_session.active().vmax);
    m_curveHover = x / w;
    if (dragging)
        m_session.BendActiveCurve(p, m_dragGesture);
    else
        UpdateCurveTooltip();
}

void Form_midi::Picture1_MouseUp(float, float) {
    dragging = false;
    UpdateCurveTooltip();
}

void Form_midi::UpdateCurveTooltip() {
    // Whatever the height of the pointer: the input under it and what it becomes now.
    if (m_curveHover <= 0.0f || m_curveHover >= 1.0f)
        return;
    CurveView* view = m_ui->Picture1;
    const QString text = CurveTooltip(m_curveHover, m_session.active());
    view->setToolTip(text);
    if (QToolTip::isVisible() && view->underMouse())
        QToolTip::showText(QCursor::pos(), text, view);
}

void Form_midi::sc_vcut_Change() {
    if (!m_showing)
        m_session.SetCutOff(m_ui->sc_vcut->value(), m_barGesture);
}

void Form_midi::sc_vmax_Change() {
    if (!m_showing)
        m_session.SetMaximum(VmaxAt(m_ui->sc_vmax->value()), m_barGesture);
}

bool Form_midi::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_ui->sc_vcut || watched == m_ui->sc_vmax) {
        if (event->type() == QEvent::MouseButtonPress)
            m_barGesture = m_session.NewGesture();
        else if (event->type() == QEvent::MouseButtonRelease)
            QTimer::singleShot(0, this, [this] { m_barGesture = 0; });
    }
    return QWidget::eventFilter(watched, event);
}

// ---- Bulk edits ----

void Form_midi::VelToAll_Click() {
    m_session.CopyToAll();
}

void Form_midi::Spread_Exp_Click() {
    m_session.Spread();
}

void Form_midi::Reset_SelVel_Click() {
    m_session.ResetActive();
}

void Form_midi::Reset_Allvel_Click() {
    m_session.ResetAll();
}

void Form_midi::Clear_Select_Click() {
    m_session.ClearSelection();
}

// ---- Showing the session ----

void Form_midi::OnSessionChanged(Session::Changes what) {
    if (what & Session::ActiveKey)
        m_lastPlayed = -1; // played on another key
    if (what & (Session::Curves | Session::ActiveKey))
        ShowActiveEntry();
    if (what & (Session::Selection | Session::ActiveKey))
        DrawMarks();
    if (what & Session::Transposition)
        m_ui->cmb_transpose->setCurrentIndex(m_session.transposition() + kTransposeRange);
    if (what & Session::Remap)
        m_ui->chk_remap->setChecked(m_session.remap());
    UpdateTitle();
}

void Form_midi::RefreshNoteDisplay() {
    OnSessionChanged(Session::Changes(~0u));
}

void Form_midi::ShowActiveEntry() {
    const NoteSetting& a = m_session.active();
    m_ui->active_note->setText(note_num2name(m_session.activenote()));
    DrawCurve();
    m_ui->note_vcut->setText(QString::number(a.vcut));
    m_ui->note_vmax->setText(QString::number(a.vmax));
    m_showing = true;
    m_ui->sc_vcut->setValue(a.vcut);
    m_ui->sc_vmax->setValue(kMaxVelocity - a.vmax);
    m_showing = false;
    UpdateCurveTooltip();
    ShowPlayedOnCurve();
}

void Form_midi::ShowPlayedOnCurve() {
    if (m_lastPlayed < 0) {
        m_ui->Picture1->ShowPlayed(std::nullopt);
        return;
    }
    const CurveView* view = m_ui->Picture1;
    const double w = view->ScaleWidth();
    const double h = view->ScaleHeight();
    const int out = MapVelocity(m_lastPlayed, m_session.active());
    m_ui->Picture1->ShowPlayed(
        QPointF(w * m_lastPlayed / kMaxVelocity, std::min(h - h * out / 128.0, h - 1.0)));
}

void Form_midi::cmd_calibrate_Click() {
    // One at a time: a second press brings the open one forward.
    if (!m_calibration) {
        m_calibration = new CalibrationWindow(m_session, this);
        m_calibration->show();
    }
    m_calibration->raise();
    m_calibration->activateWindow();
}

void Form_midi::DrawMarks() {
    // Only the old and the new marks are repainted.
    QRegion dirty = m_markRegion;
    {
        QPainter p(&m_marks);
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        for (const QRect& r : m_markRegion)
            p.fillRect(r, Qt::transparent);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        m_markRegion = QRegion();
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(QPen(palette().color(QPalette::WindowText), 1));
        const auto circle = [&](const KeyInfo& k, const QColor& fill) {
            p.setBrush(fill);
            p.drawEllipse(QPointF(k.markx, k.marky), kMarkRadius, kMarkRadius);
            m_markRegion += QRect(k.markx - kMarkRadius - 1, k.marky - kMarkRadius - 1,
                                  2 * kMarkRadius + 3, 2 * kMarkRadius + 3);
        };
        for (int k = kLowestKey; k <= kHighestKey; ++k) {
            const KeyInfo& key = m_keys[static_cast<std::size_t>(k)];
            const bool active = k == m_session.activenote();
            if (active)
                circle(key, QColor(255, 0, 0));
            if (m_session.notes()[static_cast<std::size_t>(k)].selected == kTrue)
                circle(key, active ? QColor(255, 0, 255) : QColor(0, 0, 255));
        }
    }
    dirty += m_markRegion;
    update(dirty);
}

void Form_midi::UpdateTitle() {
    QString title = BaseTitle();
    if (!m_session.SettingName().isEmpty())
        title += QStringLiteral(" - ") + m_session.SettingName();
    setWindowTitle(title + QStringLiteral("[*]"));
    setWindowModified(m_session.Modified());
}

void Form_midi::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    for (const QRect& r : event->region())
        p.drawImage(r, m_marks, r);
    if (!m_painted) {
        m_painted = true;
        // A box over a window not yet drawn would hide what it speaks of.
        if (!m_waitingMessages.isEmpty())
            QTimer::singleShot(0, this, &Form_midi::ShowWaitingMessages);
    }
}

// ---- Keyboard interaction ----

void Form_midi::piano_MouseMove(double x, double y) {
    m_hover = KeyAt(x, y, m_ui->piano->ScaleWidth(), m_ui->piano->ScaleHeight());
    m_ui->choosing_notenr->setText(QString::number(m_hover));
    m_ui->choosing_notename->setText(note_num2name(m_hover));
}

void Form_midi::piano_Click() {
    // Off the keys (the top row, the border) there is nothing to make active.
    if (IsKey(m_hover))
        m_session.SetActiveKey(m_hover);
}

void Form_midi::piano_DblClick() {
    m_session.ToggleSelected(m_hover);
}

void Form_midi::piano_KeyDown(int keyCode) {
    int note = m_session.activenote();
    switch (keyCode) {
    case KeyboardView::kUp:
    case KeyboardView::kRight:
        ++note;
        break;
    case KeyboardView::kDown:
    case KeyboardView::kLeft:
        --note;
        break;
    case KeyboardView::kHome:
        note = kStartupActiveNote;
        break;
    case KeyboardView::kPageUp:
        note = kHighestKey;
        break;
    case KeyboardView::kPageDown:
        note = kLowestKey;
        break;
    default:
        break;
    }
    m_session.SetActiveKey(std::clamp(note, kLowestKey, kHighestKey));
}

// ---- Settings ----

void Form_midi::FillSettingsList() {
    QComboBox* list = m_ui->cmb_settings;
    // Filling an editable list would replace its text with the first entry.
    const QString text = list->currentText();
    list->clear();
    list->addItems(m_store.List());
    list->setCurrentIndex(-1);
    list->setEditText(text);
}

void Form_midi::ReselectDevice(QComboBox* combo, const DeviceNameField& stored) {
    for (int i = 0; i < combo->count(); ++i) {
        if (DeviceNameMatches(combo->itemText(i), stored)) {
            SelectByProgram(combo, i);
            return;
        }
    }
}

void Form_midi::LoadSettingsFile(const QString& name) {
    if (const auto reason = m_store.UnsafeNameReason(name)) {
        Inform(*reason);
        return;
    }
    const LoadResult r = m_store.Read(name);
    if (r.status == LoadStatus::Invalid) {
        Inform(name + QStringLiteral(".vmc is not a Velomire Configuration file"));
    } else if (r.status == LoadStatus::Ok) {
        m_indevice = r.data.indevice;
        m_outdevice = r.data.outdevice;
        m_session.ApplySetting(r.data, name);
    }
    ReselectDevice(m_ui->ComboMidiOut, m_outdevice);
    ReselectDevice(m_ui->ComboMidiIn, m_indevice);
}

void Form_midi::cmb_settings_Click() {
    PickList* box = m_ui->cmb_settings;
    const QString picked = box->currentText();
    if (!MayDiscard(box->TextBeforePick())) {
        // The box goes back to what it showed; the setting in force stays.
        box->setCurrentIndex(-1);
        box->setEditText(box->TextBeforePick());
        return;
    }
    box->setEditText(picked);
    LoadSettingsFile(picked);
}

bool Form_midi::MayDiscard(const QString& newName) {
    if (!m_session.Modified())
        return true;
    const QString name = m_session.SettingName().isEmpty() ? QStringLiteral("the new setting")
                                                           : m_session.SettingName();
    const auto answer = m_boxes.AskUnsaved(
        kTitle, QStringLiteral("Save the changes to %1 before going on?").arg(name));
    if (answer == MessageBoxes::Unsaved::Cancel)
        return false;
    if (answer == MessageBoxes::Unsaved::Discard)
        return true;
    // The setting in force is the one to keep; one never saved takes the name given.
    return m_session.SettingName().isEmpty() ? SaveAs(newName, false)
                                             : SaveAs(m_session.SettingName(), true);
}

void Form_midi::cmd_save_Click() {
    SaveAs(m_ui->cmb_settings->currentText(), false);
}

bool Form_midi::SaveAs(const QString& name, bool replace) {
    if (const auto reason = m_store.UnsafeNameReason(name)) {
        m_boxes.Inform(kTitle, *reason);
        return false;
    }
    bool write = true;
    // Anything but a setting under the name is not asked about: Write refuses it with its
    // reason.
    if (!replace && m_store.At(name) == SettingsStore::Occupant::Setting)
        write =
            m_boxes.AskYesNo(QStringLiteral("Warning"),
                             QStringLiteral("setting already exists,Do you want to continue ?"));
    m_indevice = EncodeDeviceName(m_ui->ComboMidiIn->currentText());
    m_outdevice = EncodeDeviceName(m_ui->ComboMidiOut->currentText());
    bool saved = false;
    if (write) {
        const SaveResult r =
            m_store.Write(name, EncodeSettings(m_session.CaptureSetting(m_indevice, m_outdevice)));
        if (r.ok) {
            m_session.MarkSaved(name);
            saved = true;
        } else {
            m_boxes.Inform(kTitle, r.error);
        }
    }
    FillSettingsList();
    return saved;
}

} // namespace velomire

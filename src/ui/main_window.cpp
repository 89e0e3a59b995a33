#include "ui/main_window.h"

#include "core/keyboard/note_names.h"
#include "core/settings/settings_store.h"
#include "core/velocity/curve_math.h"
#include "ui/calibration_window.h"
#include "ui_main_window.h"

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

QList<QKeySequence> UndoKeys() {
    return {QKeySequence::Undo};
}
QList<QKeySequence> RedoKeys() {
    return {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)};
}
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
      m_session(midi, this) {
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
    // Undo and redo work in every window of the program (the calibration window too),
    // whatever has the focus: the settings box's text field leaves them to these.
    for (const QKeySequence& k : UndoKeys())
        connect(new QShortcut(k, this, nullptr, nullptr, Qt::ApplicationShortcut),
                &QShortcut::activated, &m_session, &Session::Undo);
    for (const QKeySequence& k : RedoKeys())
        connect(new QShortcut(k, this, nullptr, nullptr, Qt::ApplicationShortcut),
                &QShortcut::activated, &m_session, &Session::Redo);
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

    // The session starts as a fresh window: the key table holds the keys' places.
    NoteTable scratch{};
    const QRect piano = m_ui->piano->geometry();
    BuildKeyTable(
        m_keys, scratch,
        {m_ui->piano->ScaleWidth(), m_ui->piano->ScaleHeight(), piano.top(), piano.height()});
    m_ui->piano->DrawKeyboard();
    RefreshNoteDisplay();

    // Devices, output first; from now on they are followed as they come and go.
    m_session.FollowDevices();
    FillDeviceLists();
    // Settings list and the Default setting.
    FillSettingsList();
    const QString name = m_ui->cmb_settings->currentText();
    if (m_session.Store().At(name) != SettingsStore::Occupant::Nothing)
        LoadSettingsFile(name);
    // Loading the Default is where the user starts, not a step to undo.
    m_session.ClearHistory();
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
    // Shown whether or not the first look changed anything: a MIDI system already gone
    // leaves the lists as empty as they began, and they still need their "Not Enabled".
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
    const auto wanting = [this](D d) {
        const Session::DeviceState s = m_session.State(d);
        return s == Session::DeviceState::Missing || s == Session::DeviceState::Failed;
    };
    m_ui->out_missing->setVisible(wanting(D::Output));
    m_ui->in_missing->setVisible(wanting(D::Input));
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
    if (what & Session::Transposition) {
        // A setting's own output notes are no offset of the list: none is shown as chosen.
        const std::optional<int> k = m_session.transposition();
        m_ui->cmb_transpose->setCurrentIndex(k ? *k + kTransposeRange : -1);
        m_ui->cmb_transpose->setToolTip(
            k ? QString()
              : QStringLiteral("The output notes are the setting's own: no single "
                               "transposition plays them."));
    }
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
    list->addItems(m_session.Store().List());
    list->setCurrentIndex(-1);
    list->setEditText(text);
}

void Form_midi::LoadSettingsFile(const QString& name) {
    if (const Session::Outcome r = m_session.LoadSetting(name); !r.ok) {
        Inform(r.message);
        FillSettingsList(); // it may have gone since the list was made
    }
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
    m_ui->piano->setFocus(); // the keys, undo and the shortcuts go on from there
}

bool Form_midi::MayDiscard(const QString& newName) {
    const std::optional<Session::LeaveQuestion> q = m_session.BeforeLeaving(newName);
    if (!q)
        return true;
    const auto answer = m_boxes.AskUnsaved(kTitle, q->text);
    if (answer == MessageBoxes::Unsaved::Cancel)
        return false;
    if (answer == MessageBoxes::Unsaved::Discard)
        return true;
    return SaveAs(q->saveAs, q->replace);
}

void Form_midi::cmd_save_Click() {
    if (SaveAs(m_ui->cmb_settings->currentText(), false))
        m_ui->piano->setFocus();
}

bool Form_midi::SaveAs(const QString& name, bool replace) {
    if (const auto reason = m_session.SaveRefusal(name)) {
        m_boxes.Inform(kTitle, *reason);
        return false;
    }
    // Anything but a setting under the name is not asked about: the save refuses it with
    // its reason.
    if (!replace && m_session.SettingExists(name) &&
        !m_boxes.AskYesNo(QStringLiteral("Warning"),
                          QStringLiteral("setting already exists,Do you want to continue ?"))) {
        FillSettingsList();
        return false;
    }
    const Session::Outcome r = m_session.SaveSetting(name);
    if (!r.ok)
        m_boxes.Inform(kTitle, r.message);
    FillSettingsList();
    return r.ok;
}

} // namespace velomire

#include "app/form_midi.h"

#include "keyboard/note_names.h"
#include "settings/settings_store.h"
#include "ui_form_midi.h"
#include "velocity/curve_math.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>

#include <cstdlib>

namespace velomire {

namespace {

const QString kTitle = QStringLiteral("Velomire");
const QString kOutputFailed = QStringLiteral("Setting Midi output failed");
constexpr int kMarkRadius = 5;
constexpr int kIdentityTransposePosition = kTransposeRange;
constexpr int kStartupActiveNote = 60;

// Typing into a list's edit field must run nothing: swallow Return so Qt does not pick
// a matching entry on its own.
class SwallowReturn final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter)
                return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

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

} // namespace

Form_midi::Form_midi(MidiSystem& midi, MessageBoxes& boxes, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::Form_midi>()), m_boxes(boxes),
      m_engine(midi, this), m_store(SettingsStore::InWorkingDirectory()) {
    m_ui->setupUi(this);
    setWindowTitle(QStringLiteral("Velomire v%1 -  by the Velomire developers")
                       .arg(QStringLiteral(VELOMIRE_VERSION).section(QLatin1Char('.'), 0, 1)));
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

    for (QComboBox* c :
         {m_ui->ComboMidiIn, m_ui->ComboMidiOut, m_ui->cmb_transpose, m_ui->cmb_settings})
        c->lineEdit()->installEventFilter(new SwallowReturn(c));
    m_ui->cmb_settings->setEditText(QStringLiteral("Default"));

    m_ui->piano->SetKeyTable(&m_keys);
    m_engine.path.SetKeyLighting(m_ui->piano);
    ConnectHandlers();
}

Form_midi::~Form_midi() {
    Form_Unload();
}

void Form_midi::ConnectHandlers() {
    Ui::Form_midi& u = *m_ui;
    connect(u.ComboMidiOut, &QComboBox::activated, this, &Form_midi::ComboMidiOut_Click);
    connect(u.ComboMidiIn, &QComboBox::activated, this, &Form_midi::ComboMidiIn_Click);
    connect(u.cmb_transpose, &QComboBox::activated, this, &Form_midi::cmb_transpose_Click);
    connect(u.cmb_settings, &QComboBox::activated, this, &Form_midi::cmb_settings_Click);
    connect(u.chk_remap, &QCheckBox::toggled, this, &Form_midi::chk_remap_Click);
    connect(u.cmd_silence, &QPushButton::clicked, this, &Form_midi::cmd_silence_Click);
    connect(u.cmd_save, &QPushButton::clicked, this, &Form_midi::cmd_save_Click);
    connect(u.VelToAll, &QPushButton::clicked, this, &Form_midi::VelToAll_Click);
    connect(u.Spread_Exp, &QPushButton::clicked, this, &Form_midi::Spread_Exp_Click);
    connect(u.Reset_SelVel, &QPushButton::clicked, this, &Form_midi::Reset_SelVel_Click);
    connect(u.Reset_Allvel, &QPushButton::clicked, this, &Form_midi::Reset_Allvel_Click);
    connect(u.Clear_Select, &QPushButton::clicked, this, &Form_midi::Clear_Select_Click);
    // Change: value set by a release, an arrow or page click, or the program; Scroll: drag.
    connect(u.sc_vcut, &QScrollBar::valueChanged, this, &Form_midi::sc_vcut_Change);
    connect(u.sc_vcut, &QScrollBar::sliderMoved, this, &Form_midi::sc_vcut_Scroll);
    connect(u.sc_vmax, &QScrollBar::valueChanged, this, &Form_midi::sc_vmax_Change);
    connect(u.sc_vmax, &QScrollBar::sliderMoved, this, &Form_midi::sc_vmax_Scroll);
    connect(u.Picture1, &CurveView::MouseDown, this, &Form_midi::Picture1_MouseDown);
    connect(u.Picture1, &CurveView::MouseMove, this, &Form_midi::Picture1_MouseMove);
    connect(u.Picture1, &CurveView::MouseUp, this, &Form_midi::Picture1_MouseUp);
    connect(u.piano, &KeyboardView::Click, this, &Form_midi::piano_Click);
    connect(u.piano, &KeyboardView::DblClick, this, &Form_midi::piano_DblClick);
    connect(u.piano, &KeyboardView::KeyDown, this, &Form_midi::piano_KeyDown);
    connect(u.piano, &KeyboardView::MouseMove, this, &Form_midi::piano_MouseMove);
}

QString Form_midi::note_num2name(int n) const {
    return velomire::note_num2name(n);
}

// ---- Startup and shutdown ----

void Form_midi::Form_Load() {
    // 1. Centre on the screen; the size stays.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect s = screen->geometry();
        const QSize f = frameGeometry().size();
        move(s.left() + (s.width() - f.width()) / 2, s.top() + (s.height() - f.height()) / 2);
    }
    // 2. Transposition list, offset 0 selected (identity output-note table).
    QComboBox* transpose = m_ui->cmb_transpose;
    transpose->clear();
    for (int offset = -kTransposeRange; offset <= kTransposeRange; ++offset)
        transpose->addItem(FormatSigned(offset));
    SelectByProgram(transpose, kIdentityTransposePosition);
    // 3. Devices, output first.
    FillDeviceLists();
    // 4. Entry of the (still zero) active note.
    Active().exp = 1.0;
    m_ui->note_exp->setText(FormatGeneral(Active().exp));
    // 5.-6. Key table and keyboard.
    const QRect piano = m_ui->piano->geometry();
    BuildKeyTable(
        m_keys, m_engine.notes,
        {m_ui->piano->ScaleWidth(), m_ui->piano->ScaleHeight(), piano.top(), piano.height()});
    m_ui->piano->DrawKeyboard();
    // 7.-8. Active note 60.
    m_engine.activenote = kStartupActiveNote;
    m_ui->active_note->setText(m_keys[kStartupActiveNote].keyname);
    RefreshNoteDisplay();
    SetActiveNote();
    // 9. No channel remapping.
    m_engine.path.SetRemapAll(false);
    // 10. Settings list and the Default setting.
    FillSettingsList();
    const QString name = m_ui->cmb_settings->currentText();
    if (m_store.At(name) != SettingsStore::Occupant::Nothing)
        LoadSettingsFile(name);
    m_ui->piano->setFocus();
}

void Form_midi::Form_Unload() {
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_engine.Shutdown();
}

void Form_midi::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

// ---- Port selection ----

void Form_midi::FillDeviceLists() {
    QComboBox* out = m_ui->ComboMidiOut;
    out->clear();
    out->addItem(QString::fromLatin1(kNotEnabledText));
    const int outputs = m_engine.MIDIOutput1.DeviceCount();
    for (int id = -1; id < outputs; ++id)
        out->addItem(m_engine.MIDIOutput1.DeviceName(id));
    // With no device the list is too short for the startup choice: nothing is chosen
    // (no handler runs), the list just shows its first entry.
    if (out->count() > kFirstOutputPosition)
        SelectByProgram(out, kFirstOutputPosition);
    else
        out->setCurrentIndex(kNotEnabled);

    QComboBox* in = m_ui->ComboMidiIn;
    in->clear();
    in->addItem(QString::fromLatin1(kNotEnabledText));
    const int inputs = m_engine.MIDIInput1.DeviceCount();
    for (int id = 0; id < inputs; ++id)
        in->addItem(m_engine.MIDIInput1.DeviceName(id));
    if (in->count() > kFirstInputPosition)
        SelectByProgram(in, kFirstInputPosition);
    else
        in->setCurrentIndex(kNotEnabled);
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
    MidiOutIndex = static_cast<std::int16_t>(m_ui->ComboMidiOut->currentIndex());
    if (!OpenMidiOut(m_engine.MIDIOutput1, MidiOutIndex))
        m_boxes.Inform(kTitle, kOutputFailed);
}

void Form_midi::ComboMidiIn_Click() {
    MidiInIndex = static_cast<std::int16_t>(m_ui->ComboMidiIn->currentIndex());
    if (!OpenMidiIn(m_engine.MIDIInput1, MidiInIndex))
        m_boxes.Inform(kTitle, kOutputFailed);
    SendLocalControlOff(m_engine.MIDIOutput1);
}

// ---- Message path controls ----

void Form_midi::cmb_transpose_Click() {
    m_engine.path.SetTransposition(m_ui->cmb_transpose->currentIndex() - kTransposeRange);
}

void Form_midi::chk_remap_Click() {
    m_engine.path.SetRemapAll(m_ui->chk_remap->isChecked());
}

void Form_midi::cmd_silence_Click() {
    m_ui->cmd_silence->setEnabled(false);
    m_engine.path.SendPanic(m_engine.MIDIOutput1);
    for (int note = 0; note <= 127; ++note)
        m_ui->piano->MarkReleased(note);
    m_ui->cmd_silence->setEnabled(true);
}

// ---- Curve view and editor ----

void Form_midi::DrawCurve() {
    m_ui->Picture1->DrawCurve(Active());
    m_ui->note_exp->setText(FormatGeneral(Active().exp));
}

void Form_midi::Picture1_MouseDown(float x, float y) {
    dragging = true;
    CurveView* view = m_ui->Picture1;
    const PointerOnCurve p = PointerAt(x, y, static_cast<float>(view->ScaleWidth()),
                                       static_cast<float>(view->ScaleHeight()), Active().vmax);
    if (p.inside) {
        if (EditAtPointer(Active(), p))
            m_ui->sc_vcut->setValue(Active().vcut);
        DrawCurve();
    }
    m_ui->note_exp->setText(FormatExponentRounded(Active().exp));
}

void Form_midi::Picture1_MouseMove(float x, float y) {
    CurveView* view = m_ui->Picture1;
    const PointerOnCurve p = PointerAt(x, y, static_cast<float>(view->ScaleWidth()),
                                       static_cast<float>(view->ScaleHeight()), Active().vmax);
    if (p.inside && dragging) {
        if (EditAtPointer(Active(), p))
            m_ui->sc_vcut->setValue(Active().vcut);
        DrawCurve();
    } else if (p.inside) {
        view->setToolTip(CurveTooltip(p.xn, Active()));
    }
    m_ui->note_exp->setText(FormatExponentRounded(Active().exp));
}

void Form_midi::Picture1_MouseUp(float, float) {
    dragging = false;
}

void Form_midi::sc_vcut_Change() {
    Active().vcut = static_cast<std::uint8_t>(m_ui->sc_vcut->value());
    m_ui->note_vcut->setText(QString::number(Active().vcut));
    DrawCurve();
}

void Form_midi::sc_vcut_Scroll() {
    m_ui->note_vcut->setText(QString::number(Active().vcut));
    DrawCurve();
}

void Form_midi::sc_vmax_Change() {
    Active().vmax = static_cast<std::uint8_t>(m_ui->sc_vmax->value());
    m_ui->note_vmax->setText(QString::number(Active().vmax));
    DrawCurve();
}

void Form_midi::sc_vmax_Scroll() {
    m_ui->note_vmax->setText(QString::number(Active().vmax));
    DrawCurve();
}

// ---- Bulk edits ----

void Form_midi::VelToAll_Click() {
    CopyToAll(m_engine.notes, m_engine.activenote);
    DrawCurve();
}

void Form_midi::Spread_Exp_Click() {
    SpreadVelocity(m_engine.notes);
    RefreshNoteDisplay();
}

void Form_midi::Reset_SelVel_Click() {
    ResetActive(m_engine.notes, m_engine.activenote);
    DrawCurve();
}

void Form_midi::Reset_Allvel_Click() {
    ResetAll(m_engine.notes);
    DrawCurve();
}

void Form_midi::Clear_Select_Click() {
    ClearSelection(m_engine.notes);
    RefreshNoteDisplay();
}

// ---- Keyboard drawing, marks and interaction ----

void Form_midi::RefreshNoteDisplay() {
    // Only the old and the new marks are repainted: a whole-window repaint would hold up
    // the MIDI messages that wait on this thread.
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
            const bool active = k == m_engine.activenote;
            if (active)
                circle(key, QColor(255, 0, 0));
            if (m_engine.notes[static_cast<std::size_t>(k)].selected == kTrue)
                circle(key, active ? QColor(255, 0, 255) : QColor(0, 0, 255));
        }
    }
    dirty += m_markRegion;
    update(dirty);
    m_ui->active_note->setText(m_keys[m_engine.activenote].keyname);
    DrawCurve();
    m_ui->note_vcut->setText(QString::number(Active().vcut));
    m_ui->note_vmax->setText(QString::number(Active().vmax));
    m_ui->sc_vcut->setValue(Active().vcut);
    m_ui->sc_vmax->setValue(Active().vmax);
}

void Form_midi::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    for (const QRect& r : event->region())
        p.drawImage(r, m_marks, r);
}

void Form_midi::SetActiveNote() {
    m_ui->active_note->setText(note_num2name(m_engine.activenote));
    m_ui->note_exp->setText(FormatGeneral(Active().exp));
    DrawCurve();
}

int Form_midi::HoverNumber() const {
    return m_ui->choosing_notenr->text().toInt();
}

void Form_midi::piano_MouseMove(double x, double y) {
    const int k = KeyAt(x, y, m_ui->piano->ScaleWidth(), m_ui->piano->ScaleHeight());
    m_ui->choosing_notenr->setText(QString::number(k));
    m_ui->choosing_notename->setText(note_num2name(HoverNumber()));
}

void Form_midi::piano_Click() {
    const int v = HoverNumber();
    if (v == m_engine.activenote)
        return;
    m_engine.activenote = static_cast<std::uint8_t>(v);
    SetActiveNote();
    m_ui->sc_vcut->setValue(Active().vcut);
    m_ui->sc_vmax->setValue(Active().vmax);
    RefreshNoteDisplay();
}

void Form_midi::piano_DblClick() {
    const int n = HoverNumber();
    NoteSetting& s = m_engine.notes[static_cast<std::size_t>(n)];
    s.selected = static_cast<std::int16_t>(~s.selected);
    RefreshNoteDisplay();
}

void Form_midi::piano_KeyDown(int keyCode) {
    int note = m_engine.activenote;
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
    m_engine.activenote = static_cast<std::uint8_t>(std::clamp(note, kLowestKey, kHighestKey));
    SetActiveNote();
    RefreshNoteDisplay();
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
        m_boxes.Inform(kTitle, *reason);
        return;
    }
    const LoadResult r = m_store.Read(name);
    if (r.status == LoadStatus::Invalid) {
        m_boxes.Inform(kTitle, m_ui->cmb_settings->currentText() +
                                   QStringLiteral(".vmc is not a Velomire Configuration file"));
    } else if (r.status == LoadStatus::Ok) {
        m_indevice = r.data.indevice;
        m_outdevice = r.data.outdevice;
        m_engine.ApplySettings(r.data);
        // Its toggle handler rewrites ChannelMap when the state changes.
        m_ui->chk_remap->setChecked(r.data.channels[15] == 0);
    }
    ReselectDevice(m_ui->ComboMidiOut, m_outdevice);
    ReselectDevice(m_ui->ComboMidiIn, m_indevice);
    RefreshNoteDisplay();
}

void Form_midi::cmb_settings_Click() {
    LoadSettingsFile(m_ui->cmb_settings->currentText());
}

void Form_midi::cmd_save_Click() {
    const QString name = m_ui->cmb_settings->currentText();
    if (const auto reason = m_store.UnsafeNameReason(name)) {
        m_boxes.Inform(kTitle, *reason);
        return;
    }
    bool write = true;
    // Anything else under the name is not asked about: Write refuses it with its reason.
    if (m_store.At(name) == SettingsStore::Occupant::Setting)
        write =
            m_boxes.AskYesNo(QStringLiteral("Warning"),
                             QStringLiteral("setting already exists,Do you want to continue ?"));
    m_indevice = EncodeDeviceName(m_ui->ComboMidiIn->currentText());
    m_outdevice = EncodeDeviceName(m_ui->ComboMidiOut->currentText());
    if (write) {
        const SaveResult r =
            m_store.Write(name, EncodeSettings(m_engine.CaptureSettings(m_indevice, m_outdevice)));
        if (!r.ok)
            m_boxes.Inform(kTitle, r.error);
    }
    FillSettingsList();
}

} // namespace velomire

#include "frmMain.h"
#include "ui_frmMain.h"

#include "ui/accessibility.h"
#include "ui/appinfo.h"
#include "ui/frmAbout.h"
#include "ui/frmHistory.h"
#include "ui/frmInstructions.h"
#include "ui/frmSuccess.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScopeGuard>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionComboBox>

#include <cmath>
#include <limits>

namespace {

// QProgressBar counts in integers; the window keeps the true single-precision
// value and maximum and shows them on this scale.
constexpr int kProgressScale = 10000;

struct Panel
{
    const char *name; // what a screen reader calls it
    const char *toolTip;
    int width;
};
const Panel kPanels[4] = {
    {"Status", "Status", 120},
    {"Indicators", "Indicators: Erase, Blank Check, Program, Verify", 37},
    {"Error Data", "Error Data", 67},
    {"Firmware Version", "Firmware Version", 47},
};

const char *const kPorts[] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};
const char *const kBaudrates[] = {"4800", "9600", "19200", "38400", "57600"};
constexpr int kDefaultBaudIndex = 1;
constexpr int kPortTextMax = 2;

const QString kReadyText = QStringLiteral("For Help press F1");

// The layout was drawn for a face 11 pixels high; no smaller than this is used.
constexpr int kDesignFontPixels = 11;
constexpr int kSmallestFontPixels = 7;

bool fitsWidth(const QFont &font, const QString &text, int width)
{
    return QFontMetrics(font).horizontalAdvance(text) <= width;
}

int comboTextWidth(const QComboBox *combo)
{
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.rect = combo->rect();
    option.editable = combo->isEditable();
    option.frame = combo->hasFrame();
    return combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo).width();
}

// The port box's reading of a typed port number: 0 when it holds no number.
qint16 portNumberFromText(const QString &text)
{
    // Leading blanks, an optional sign, digits and one decimal point; reading
    // stops at the first character that cannot continue the number.
    int i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    QString number;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        number += text[i++];
    bool point = false;
    bool digits = false;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            number += c;
            digits = true;
        } else if (c == QLatin1Char('.') && !point) {
            number += c;
            point = true;
        } else {
            break;
        }
    }
    if (!digits)
        return 0;
    const double value = QStringView(number).toDouble();
    // Halves go to the even neighbour (2.5 gives 2): remainder() rounds the
    // quotient that way whatever the rounding mode.
    const double rounded = value - std::remainder(value, 1.0);
    const double lo = std::numeric_limits<qint16>::min();
    const double hi = std::numeric_limits<qint16>::max();
    return static_cast<qint16>(std::clamp(rounded, lo, hi));
}

} // namespace

frmMain::frmMain(QWidget *parent)
    : QMainWindow(parent)
    , m_ui(std::make_unique<Ui::frmMain>())
{
    accessibility::install();
    m_ui->setupUi(this);
    setWindowIcon(appinfo::icon());

    QPalette linePalette = m_ui->Line1->palette();
    linePalette.setColor(QPalette::WindowText, palette().color(QPalette::Active, QPalette::HighlightedText));
    m_ui->Line1->setPalette(linePalette);

    // The four panels sit edge to edge in one strip, so that at their
    // designed widths they fill the window's width exactly.
    auto *strip = new QWidget(m_ui->StatusBar1);
    auto *stripLayout = new QHBoxLayout(strip);
    stripLayout->setContentsMargins(0, 0, 0, 0);
    stripLayout->setSpacing(0);
    for (int i = 0; i < 4; ++i) {
        auto *panel = new QLabel(strip);
        panel->setObjectName(QStringLiteral("StatusBar1Panel%1").arg(i + 1));
        panel->setAccessibleName(QString::fromLatin1(kPanels[i].name));
        panel->setToolTip(QString::fromLatin1(kPanels[i].toolTip));
        panel->setMinimumWidth(kPanels[i].width);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        stripLayout->addWidget(panel, i == 0 ? 1 : 0);
        m_panels[i] = panel;
    }
    m_ui->StatusBar1->addWidget(strip, 1);
    m_ui->StatusBar1->setFixedHeight(17);
    m_ui->StatusBar1->setContentsMargins(0, 0, 0, 0);
    m_ui->centralwidget->setFixedSize(273, 110);
    m_ui->ProgressBar1->setRange(0, kProgressScale);

    // Typing into the port box is read as a number, not completed to a list entry.
    m_ui->cboComPort->setCompleter(nullptr);
    m_ui->cboBaudrate->setEditable(false);

    fitFonts();

    connect(&MSComm1, &MSComm::OnComm, this, &frmMain::MSComm1_OnComm);
    connect(m_ui->cboComPort, &QComboBox::activated, this, &frmMain::cboComPort_Click);
    connect(m_ui->cboComPort->lineEdit(), &QLineEdit::textEdited, this, &frmMain::cboComPort_Change);
    connect(m_ui->cboBaudrate, &QComboBox::activated, this, &frmMain::cboBaudrate_Click);
    connect(m_ui->chkRemote, &QCheckBox::clicked, this, &frmMain::chkRemote_Click);
    connect(m_ui->cmdProgram, &QPushButton::clicked, this, &frmMain::cmdProgram_Click);
    connect(m_ui->cmdExit, &QPushButton::clicked, this, &frmMain::cmdExit_Click);
    connect(m_ui->mnuHelpInstr, &QAction::triggered, this, [this] { showInfoWindow(InfoWindow::Instructions); });
    connect(m_ui->mnuHelpHistory, &QAction::triggered, this, [this] { showInfoWindow(InfoWindow::History); });
    connect(m_ui->mnuHelpAbout, &QAction::triggered, this, [this] { showInfoWindow(InfoWindow::About); });

    Form_Load();
}

frmMain::~frmMain()
{
    m_unloading = true;
    UnloadAllForms(objectName());
    if (qApp)
        qApp->removeEventFilter(this);
}

void frmMain::Form_Load()
{
    sVersion = appinfo::versionText();
    sTitleVer = appinfo::title() + QStringLiteral(" v") + sVersion;
    setWindowTitle(sTitleVer);

    // What a killed run left changed in a driver goes back first; then the
    // ports present now take their numbers, and keep them while the program
    // runs.
    MSComm::restoreAbandonedDriverSettings();
    MSComm1.takeCensus();
    for (const char *port : kPorts)
        m_ui->cboComPort->addItem(QString::fromLatin1(port));
    m_ui->cboComPort->setCurrentIndex(0);
    cboComPort_Click();

    for (const char *rate : kBaudrates)
        m_ui->cboBaudrate->addItem(QString::fromLatin1(rate));
    m_ui->cboBaudrate->setCurrentIndex(kDefaultBaudIndex);
    cboBaudrate_Click();

    iComPort = static_cast<qint16>(m_ui->cboComPort->currentIndex() + 1);

    m_ui->chkRemote->setChecked(false);
    setMessage(QString());
    setProgressValue(0);
    m_ui->cmdProgram->setText(QStringLiteral("Program (F4)"));
    setExitCaption(QStringLiteral("Exit (ESC)"));
    ResetStatusBar();

    bStopped = true;
    bFailed = false;
    bSuccess = false;

    // Key preview: the window sees key presses before the focused control.
    qApp->installEventFilter(this);

    adjustSize();
    setFixedSize(sizeHint());
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    m_ui->cmdProgram->setFocus(Qt::OtherFocusReason);
}

// --- Display surfaces --------------------------------------------------------

void frmMain::ResetStatusBar()
{
    setPanelText(1, kReadyText);
    setPanelText(2, QString());
    setPanelText(3, QString());
    setPanelText(4, QString());
}

void frmMain::setPanelText(int panel, const QString &text)
{
    if (panel >= 1 && panel <= 4)
        m_panels[panel - 1]->setText(text);
}

QString frmMain::panelText(int panel) const
{
    return panel >= 1 && panel <= 4 ? m_panels[panel - 1]->text() : QString();
}

void frmMain::setProgressValue(float value)
{
    m_progressValue = value;
    const float shown = m_progressMax > 0 ? std::clamp(value / m_progressMax, 0.0f, 1.0f) : 0.0f;
    m_ui->ProgressBar1->setValue(static_cast<int>(std::lround(shown * kProgressScale)));
}

float frmMain::progressValue() const
{
    return m_progressValue;
}

void frmMain::setProgressMax(float maximum)
{
    m_progressMax = maximum;
    setProgressValue(m_progressValue);
}

float frmMain::progressMax() const
{
    return m_progressMax;
}

void frmMain::setMessage(const QString &text)
{
    // The line is as wide as the window; a long text takes a smaller face
    // rather than losing its ends.
    QFont face = font();
    while (face.pixelSize() > kSmallestFontPixels && !fitsWidth(face, text, m_ui->lblMessage->contentsRect().width()))
        face.setPixelSize(face.pixelSize() - 1);
    m_ui->lblMessage->setFont(face);
    m_ui->lblMessage->setText(text);
}

void frmMain::fitFonts()
{
    // The controls keep their designed sizes, so the face is chosen to fit
    // the widest texts they show: desktop fonts are often wider than the one
    // the layout was drawn for.
    const int panelRoom = kPanels[0].width - 2 * m_panels[0]->frameWidth() - 2;
    const int remoteRoom = m_ui->lblRemote->width();
    QFont face = font();
    for (int pixels = kDesignFontPixels; pixels >= kSmallestFontPixels; --pixels) {
        face.setPixelSize(pixels);
        setFont(face);
        if (fitsWidth(face, QStringLiteral("Remote Program"), remoteRoom)
            && fitsWidth(face, QStringLiteral("Programming ...  100%"), panelRoom)
            && fitsWidth(face, QStringLiteral("Resetting Defaults ..."), panelRoom)
            && fitsWidth(face, QStringLiteral("57600"), comboTextWidth(m_ui->cboBaudrate))
            && fitsWidth(face, QStringLiteral("COM8"), comboTextWidth(m_ui->cboComPort)))
            break;
    }
}

QString frmMain::message() const
{
    return m_ui->lblMessage->text();
}

void frmMain::setExitCaption(const QString &caption)
{
    m_ui->cmdExit->setText(caption);
}

QString frmMain::exitCaption() const
{
    return m_ui->cmdExit->text();
}

QWidget *frmMain::runControl(RunControl control) const
{
    switch (control) {
    case RunControl::cmdProgram: return m_ui->cmdProgram;
    case RunControl::chkRemote: return m_ui->chkRemote;
    case RunControl::lblRemote: return m_ui->lblRemote;
    case RunControl::cboComPort: return m_ui->cboComPort;
    case RunControl::cboBaudrate: return m_ui->cboBaudrate;
    }
    return nullptr;
}

void frmMain::setRunControlEnabled(RunControl control, bool enabled)
{
    runControl(control)->setEnabled(enabled);
}

bool frmMain::runControlEnabled(RunControl control) const
{
    return runControl(control)->isEnabled();
}

bool frmMain::remoteProgramTicked() const
{
    return m_ui->chkRemote->isChecked();
}

// --- Message boxes -----------------------------------------------------------

void frmMain::setMsgResponder(MsgResponder responder)
{
    m_responder = std::move(responder);
}

QMessageBox::StandardButton frmMain::MsgBox(const QString &text, MsgKind kind)
{
    const QString title = kind == MsgKind::Question ? QStringLiteral("Confirm Firmware Replace") : sTitleVer;
    // Nothing is awaited while a box is up: the port need not be looked at
    // until it closes, which would wake the processor for as long as the
    // user reads.
    MSComm1.pauseIdlePolling(true);
    const auto resume = qScopeGuard([this] { MSComm1.pauseIdlePolling(false); });
    if (m_responder)
        return m_responder(kind, title, text);

    QMessageBox box(this);
    box.setWindowTitle(title);
    box.setText(text);
    switch (kind) {
    case MsgKind::Warning:
        box.setIcon(QMessageBox::Warning);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MsgKind::Error:
        box.setIcon(QMessageBox::Critical);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MsgKind::Question:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        break;
    }
    box.exec();
    const auto chosen = box.standardButton(box.clickedButton());
    return chosen == QMessageBox::NoButton ? (kind == MsgKind::Question ? QMessageBox::No : QMessageBox::Ok) : chosen;
}

// --- Reactions of the window --------------------------------------------------

void frmMain::cboComPort_Click()
{
    iComPort = static_cast<qint16>(m_ui->cboComPort->currentIndex() + 1);
    setProgressValue(0);
    ResetStatusBar();
}

void frmMain::cboComPort_Change()
{
    QString text = m_ui->cboComPort->currentText();
    if (text.size() > kPortTextMax) {
        m_ui->cboComPort->setEditText(text.left(kPortTextMax));
        cboComPort_Change();
        text = m_ui->cboComPort->currentText();
    }
    iComPort = portNumberFromText(text);
    if (iComPort == 0) {
        iComPort = 1;
        m_ui->cboComPort->setCurrentIndex(0);
        m_ui->cboComPort->setEditText(QString::fromLatin1(kPorts[0]));
        // Selected, as a list choice leaves it, so the next key typed replaces
        // "COM1" instead of being appended and cut away again.
        m_ui->cboComPort->lineEdit()->selectAll();
        cboComPort_Click();
    }
    setProgressValue(0);
    ResetStatusBar();
}

void frmMain::cboBaudrate_Click()
{
    sBaudrate = m_ui->cboBaudrate->currentText();
    setProgressValue(0);
    ResetStatusBar();
}

void frmMain::chkRemote_Click()
{
    setProgressValue(0);
    ResetStatusBar();
}

void frmMain::cmdExit_Click()
{
    if (bStopped) {
        close();
        return;
    }
    bStopped = true;
    bReplyReceived = true;
    m_bCancelled = true;
    setProgressValue(0);
    ResetStatusBar();
    setExitCaption(QStringLiteral("Exit (ESC)"));
    MsgBox(QStringLiteral("Firmware update was cancelled."), MsgKind::Error);
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
}

bool frmMain::Form_KeyDown(int key, Qt::KeyboardModifiers shift)
{
    if (shift & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier))
        return false;
    if (key == Qt::Key_F4) {
        if (bStopped)
            cmdProgram_Click();
        return true;
    }
    if (key == Qt::Key_Escape) {
        cmdExit_Click();
        return true;
    }
    return false;
}

bool frmMain::menuHasKeyboard() const
{
    // An open menu, or the menu bar left in keyboard mode after one closed.
    return QApplication::activePopupWidget() || qobject_cast<QMenuBar *>(QApplication::focusWidget());
}

bool frmMain::pressFocusedButton(QWidget *widget, const QKeyEvent *key)
{
    // Enter presses the button that has the focus, as Space does; neither
    // button is a default button that Enter would reach from elsewhere.
    if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
        || (key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)))
        return false;
    auto *button = qobject_cast<QPushButton *>(widget);
    if (button != m_ui->cmdProgram && button != m_ui->cmdExit)
        return false;
    // A held key repeats; the repeat would land on Cancel once Program is
    // disabled and cancel the run it just started.
    if (!key->isAutoRepeat() && button->isEnabled())
        button->click();
    return true;
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        // Key preview acts for the window, not for its menus: Escape first
        // closes the menu, then leaves the menu bar.
        if (widget->window() == this && isActiveWindow() && !menuHasKeyboard() && !qobject_cast<QMenuBar *>(widget)) {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (Form_KeyDown(key->key(), key->modifiers()) || pressFocusedButton(widget, key))
                return true;
        }
    }
    if (event->type() == QEvent::Show && watched == m_ui->cboComPort->view())
        describePorts();
    // The Windows style runs a glow along a progress bar that is neither
    // empty nor full, repainting it some thirty times a second for as long
    // as an update lasts: 2 % of a core under Wine, on a laptop's battery at
    // a remote site. Left unanswered, the animation stops; the bar still
    // fills as the update goes on.
    if (event->type() == QEvent::StyleAnimationUpdate && watched == m_ui->ProgressBar1)
        return true;
    return QMainWindow::eventFilter(watched, event);
}

void frmMain::describePorts()
{
    // Each entry tells which device it stands for here and now, and which
    // program holds it, as far as this user can see.
    MSComm1.takeCensus();
    const QStringList tips = MSComm1.portDescriptions(m_ui->cboComPort->count());
    for (int i = 0; i < tips.size(); ++i)
        m_ui->cboComPort->setItemData(i, tips.at(i), Qt::ToolTipRole);
}

// --- Other windows ------------------------------------------------------------

void frmMain::showSuccessDialog()
{
    m_success = new frmSuccess(*this);
    m_success->show();
}

void frmMain::showInfoWindow(InfoWindow which)
{
    // A closed window may still await its deletion; it counts as unloaded, so
    // the next opening loads (and places) a fresh one.
    QWidget *window = nullptr;
    switch (which) {
    case InfoWindow::Instructions:
        if (!m_instructions || !m_instructions->isVisible())
            m_instructions = new frmInstructions(*this);
        window = m_instructions;
        break;
    case InfoWindow::History:
        if (!m_history || !m_history->isVisible())
            m_history = new frmHistory(*this);
        window = m_history;
        break;
    case InfoWindow::About:
        if (!m_about || !m_about->isVisible())
            m_about = new frmAbout(*this);
        window = m_about;
        break;
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void frmMain::UnloadAllForms(const QString &FormToIgnore)
{
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        const QString name = window->objectName();
        if (!name.startsWith(QLatin1String("frm")) || name == FormToIgnore)
            continue;
        if (window->isVisible() || window != this)
            window->close();
    }
}

void frmMain::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

void frmMain::Form_Unload()
{
    // A run still under way stops as a cancel would, but silently: its Send
    // returns, the script runs on without effect and touches no closed port.
    m_unloading = true;
    if (!bStopped) {
        bStopped = true;
        bReplyReceived = true;
        m_bCancelled = true;
        setExitCaption(QStringLiteral("Exit (ESC)"));
    }
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
    UnloadAllForms(objectName());
}

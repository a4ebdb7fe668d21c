#include "ui/frmSuccess.h"

#include "ui/appinfo.h"
#include "ui/frmMain.h"
#include "ui/labelfit.h"
#include "ui_frmSuccess.h"

#include <QCloseEvent>

// The program lives in a static library, whose resources are linked in only
// when something refers to them. The main window always links this file, so
// registering them here at start-up also serves its icon.
static int initResources()
{
    Q_INIT_RESOURCE(resources);
    return 0;
}
[[maybe_unused]] static const int resourcesReady = initResources();

namespace {
constexpr qint32 kCountDownSeconds = 10;

QString okCaptionFor(qint32 seconds)
{
    return QStringLiteral("OK [%1 sec.]").arg(seconds);
}
} // namespace

frmSuccess::frmSuccess(frmMain &owner)
    : QDialog(nullptr)
    , m_owner(&owner)
{
    ui = std::make_unique<Ui::frmSuccess>();
    ui->setupUi(this);
    setWindowIcon(appinfo::icon());
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->OKButton, &QPushButton::clicked, this, &frmSuccess::OKButton_Click);
    tmrCountDown.setObjectName(QStringLiteral("tmrCountDown"));
    connect(&tmrCountDown, &QTimer::timeout, this, &frmSuccess::tmrCountDown_Timer);
    Form_Load();
}

frmSuccess::~frmSuccess()
{
    // Covers a plain delete that bypasses closing.
    Form_Unload();
}

QString frmSuccess::okCaption() const
{
    return ui->OKButton->text();
}

void frmSuccess::Form_Load()
{
    m_owner->bSuccess = true;
    setWindowTitle(appinfo::title() + QStringLiteral(" Updated"));
    ui->lblMessage->setText(QStringLiteral("Update was successfully finished."));
    shrinkFontToFit(ui->lblMessage);
    lSecondsLeft = kCountDownSeconds;
    ui->OKButton->setText(okCaptionFor(lSecondsLeft));

    // No Qt parent, so nothing centres us on the main window by default.
    move(m_owner->frameGeometry().center() - rect().center());

    tmrCountDown.setInterval(1000);
    tmrCountDown.start();
}

void frmSuccess::tmrCountDown_Timer()
{
    // A tick queued just before closing must not count past zero.
    if (m_unloaded || lSecondsLeft <= 0)
        return;
    --lSecondsLeft;
    ui->OKButton->setText(okCaptionFor(lSecondsLeft));
    if (lSecondsLeft == 0)
        OKButton_Click();
}

void frmSuccess::OKButton_Click()
{
    close();
}

void frmSuccess::done(int result)
{
    // Escape, OK and close() all end up here in Qt 6, but close() does not
    // always deliver a close event, so unload on both paths.
    Form_Unload();
    QDialog::done(result);
}

void frmSuccess::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    QDialog::closeEvent(event);
}

void frmSuccess::Form_Unload()
{
    // Runs once: a dialog deleted late must not clear the flag that a newer
    // dialog has set.
    if (m_unloaded)
        return;
    m_unloaded = true;
    tmrCountDown.stop();
    if (m_owner)
        m_owner->bSuccess = false;
}

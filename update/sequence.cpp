// One whole update, from the Program command to the finish packet. A stop
// never jumps out: once bStopped is set every later Send does nothing, and the
// script runs on to its end, which puts the controls back.
#include "ui/frmMain.h"

#include "ui/appinfo.h"
#include "ui/frmSuccess.h"
#include "update/packets.h"
#include "update/sleepguard.h"

#include <optional>

namespace {

const QString kLineFormat = QStringLiteral(",N,8,1");

} // namespace

void frmMain::cmdProgram_Click()
{
    if (bSuccess && m_success)
        m_success->close();

    setRunControlEnabled(RunControl::cmdProgram, false);
    setRunControlEnabled(RunControl::chkRemote, false);
    setRunControlEnabled(RunControl::lblRemote, false);
    setRunControlEnabled(RunControl::cboComPort, false);
    setRunControlEnabled(RunControl::cboBaudrate, false);
    setProgressValue(0);
    ResetStatusBar();
    bVersionAccepted = false;
    bUpdateOver = false;
    bFirstErase = true;
    bFirstProgram = true;
    bFailed = false;
    m_bCancelled = false;
    m_bFinishSent = false;

    if (bStopped) {
        bStopped = false;
        setExitCaption(QStringLiteral("Cancel (ESC)"));
        runUpdate();
    }

    setMessage(QString());
    setRunControlEnabled(RunControl::lblRemote, true);
    setRunControlEnabled(RunControl::chkRemote, true);
    setRunControlEnabled(RunControl::cboComPort, true);
    setRunControlEnabled(RunControl::cboBaudrate, true);
    setRunControlEnabled(RunControl::cmdProgram, true);
}

void frmMain::runUpdate()
{
    MSComm1.setCommPort(iComPort);
    if (!MSComm1.setSettings(sBaudrate + kLineFormat)) {
        MsgBox(QStringLiteral("The baud rate ") + sBaudrate + QStringLiteral(" cannot be used."), MsgKind::Warning);
        setExitCaption(QStringLiteral("Exit (ESC)"));
        bStopped = true;
        return;
    }
    MSComm1.setInputMode(0);
    MSComm1.setInputLen(0);
    MSComm1.setRThreshold(1);
    MSComm1.setSThreshold(1);
    MSComm1.setDTREnable(false);
    MSComm1.setRTSEnable(false);
    MSComm1.setNullDiscard(false);
    MSComm1.setHandshaking(0);

    if (!PortAvailable(iComPort))
        return;

    MSComm1.setCommPort(iComPort);
    if (!MSComm1.setPortOpen(true))
        openFailure();
    std::optional<SleepInhibitor> awake; // held until the run returns, however it ends
    if (MSComm1.PortOpen())
        awake.emplace(QStringLiteral("Updating the unit's firmware"));

    if (remoteProgramTicked())
        StartBootloader();

    MSComm1.setSettings(sBaudrate + kLineFormat);

    Send(QLatin1String(firmware::kVersionRead));
    if (!bVersionAccepted)
        return;

    setMessage(QStringLiteral("Please wait.  ") + appinfo::title() + QStringLiteral(" is being updated."));

    EraseDevice();
    passPhase(QLatin1Char('E'), !bStopped);

    // A check that found a fault has still run to its end; its letter shows
    // beside the failure texts.
    Send(QLatin1String(firmware::kBlankCheck));
    passPhase(QLatin1Char('B'), !bStopped || m_bReplyJudged);

    if (!bFailed) {
        ProgramDevice();
        passPhase(QLatin1Char('P'), !bStopped);

        Send(QLatin1String(firmware::kVerify));
        passPhase(QLatin1Char('V'), !bStopped || m_bReplyJudged);

        if (!bFailed) {
            Send(QLatin1String(firmware::kResetDefaults));
            Send(QLatin1String(firmware::kVersionRead));
            Send(QLatin1String(firmware::kFinish));
        }
    }

    // Only a run that told the unit to start has updated it, whatever else
    // the flags say.
    if (m_bFinishSent && bUpdateOver && !bFailed && !m_unloading)
        showSuccessDialog();
}

void frmMain::passPhase(QChar letter, bool bRanToEnd)
{
    // Panel 2 lists the phases passed: a phase cut short by a Cancel or a
    // failed line adds no letter, and neither does any phase after it.
    if (bRanToEnd && !m_bCancelled && (letter == QLatin1Char('E') || !panelText(2).isEmpty()))
        setPanelText(2, panelText(2) + letter);
}

void frmMain::openFailure()
{
    if (MSComm1.lastError() == MSComm::ErrPortInUse) {
        QString text = QStringLiteral("Selected COM Port is already in use by another application.");
        if (!MSComm1.portHolderText().isEmpty())
            text += QStringLiteral("\r\n\r\n") + MSComm1.portHolderText();
        MsgBox(text, MsgKind::Warning);
    } else {
        // Any other failure would otherwise leave the run waiting on a port
        // that never opened; say what the system said and end the run.
        QString text = QStringLiteral("Selected COM Port could not be opened.\r\n\r\n%1: %2")
                           .arg(MSComm1.deviceName(), MSComm1.lastErrorText());
        if (MSComm1.lastOpenDenied())
            text += QStringLiteral("\r\n\r\nYour account needs access to serial ports, for example "
                                   "membership of the dialout group (then log in again).");
        MsgBox(text, MsgKind::Warning);
    }
    setExitCaption(QStringLiteral("Exit (ESC)"));
    bStopped = true;
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
}

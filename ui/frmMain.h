// The main window: owner of the update's state, its display surfaces, the
// serial port and the packet tables. The update's procedures are members so
// that they share that state; their bodies live under link/ and update/.
#pragma once

#include "link/mscomm.h"

#include <QByteArray>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

#include "ui/frmAbout.h"
#include "ui/frmHistory.h"
#include "ui/frmInstructions.h"
#include "ui/frmSuccess.h"

class QKeyEvent;
class QLabel;

namespace Ui {
class frmMain;
}

class frmMain : public QMainWindow
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    // --- Shared with the other windows --------------------------------------
    bool bSuccess = false;
    QString sTitleVer;
    QString sVersion;

    // --- The update's state. Public so that tests can observe and arrange it;
    // only this window's procedures write it during a run. -------------------
    bool bFirstErase = false;
    bool bFirstProgram = false;
    bool bStopped = true;
    bool bFailed = false;
    bool bReplyReceived = false;
    bool bVersionAccepted = false;
    bool bUpdateOver = false;
    qint16 iComPort = 1;
    QString sBaudrate = QStringLiteral("9600");
    QString sCommand;
    QByteArray sReply;     // raw bytes, one per received byte
    QByteArray sRemoteAck; // raw bytes

    MSComm MSComm1;

    // --- Display surfaces ----------------------------------------------------
    void ResetStatusBar();
    void setPanelText(int panel, const QString &text); // panels 1 to 4
    QString panelText(int panel) const;
    void setProgressValue(float value);
    float progressValue() const;
    void setProgressMax(float maximum);
    float progressMax() const;
    void setMessage(const QString &text);
    QString message() const;
    void setExitCaption(const QString &caption);
    QString exitCaption() const;

    enum class RunControl { cmdProgram, chkRemote, lblRemote, cboComPort, cboBaudrate };
    void setRunControlEnabled(RunControl control, bool enabled);
    bool runControlEnabled(RunControl control) const;
    bool remoteProgramTicked() const;

    // --- Message boxes ---------------------------------------------------------
    // Every warning, error and question passes through MsgBox. Tests replace the
    // responder to answer without a human; by default a modal QMessageBox asks.
    enum class MsgKind { Warning, Error, Question };
    using MsgResponder
        = std::function<QMessageBox::StandardButton(MsgKind kind, const QString &title, const QString &text)>;
    void setMsgResponder(MsgResponder responder);
    QMessageBox::StandardButton MsgBox(const QString &text, MsgKind kind);

    // --- Bootloader link (link/) ----------------------------------------------
    void Send(const QString &sDataOut);
    void HandleInput(QByteArray &sReceive);
    void MSComm1_OnComm();

    // --- Update (update/) -------------------------------------------------------
    void cmdProgram_Click();
    bool PortAvailable(qint16 iPort);
    void StartBootloader();
    void EraseDevice();
    void ProgramDevice();

    // --- Window reactions (ui/) -------------------------------------------------
    void cboComPort_Click();
    void cboComPort_Change();
    void cboBaudrate_Click();
    void chkRemote_Click();
    void cmdExit_Click();
    void UnloadAllForms(const QString &FormToIgnore = QString());

    frmSuccess *successDialog() const { return m_success; }

    // Called at the start of every poll of a reply wait with the poll's number;
    // tests use it to act at an exact poll.
    std::function<void(int iPoll)> onPoll;

    Ui::frmMain *ui() const { return m_ui.get(); }

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Form_Load();
    bool Form_KeyDown(int key, Qt::KeyboardModifiers shift);
    void Form_Unload();
    void showSuccessDialog();
    enum class InfoWindow { Instructions, History, About };
    void showInfoWindow(InfoWindow which);
    void describePorts();
    void fitFonts();
    QWidget *runControl(RunControl control) const;
    void waitForReply(int &iPolls);
    void pauseWithEvents(int msecs);
    void communicationFailure(const QString &text);
    void advanceProgress(bool &bFirst, float maximum, const QString &label);
    void interpretReply();
    void openFailure();
    void runUpdate();
    void passPhase(QChar letter, bool bRanToEnd);
    bool menuHasKeyboard() const;
    bool pressFocusedButton(QWidget *widget, const QKeyEvent *key);

    std::unique_ptr<Ui::frmMain> m_ui;
    QLabel *m_panels[4] = {};
    float m_progressValue = 0.0f;
    float m_progressMax = 100.0f;
    MsgResponder m_responder;
    QPointer<frmSuccess> m_success;
    QPointer<frmInstructions> m_instructions;
    QPointer<frmHistory> m_history;
    QPointer<frmAbout> m_about;
    bool m_unloading = false;

    // Counts every reply stored, so that a scan can tell a reply of its own
    // from one left over from an earlier run.
    int m_iRepliesReceived = 0;
    // The last Send got its reply and judged it (passed or found a fault).
    bool m_bReplyJudged = false;
    // The run was stopped by the user (Cancel, or the window closed).
    bool m_bCancelled = false;
    // The finish command of this run went out whole: the only end that is a success.
    bool m_bFinishSent = false;
};

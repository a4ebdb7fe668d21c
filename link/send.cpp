// One exchange with the bootloader: write a packet, wait for its reply while
// the window stays alive, judge the reply and, when the update has come to an
// end, put the window back at rest.
#include "ui/frmMain.h"

#include "link/codec.h"

#include <QCoreApplication>
#include <QTimer>

#include <cmath>

namespace {

constexpr int kPollLimit = 1000;  // a wait gives up once the poll count exceeds this
constexpr int kPollMs = 1;        // length of one poll
constexpr int kWakePauseMs = 100; // settling time after a wake frame
constexpr float kEraseMax = 480.0f;
constexpr float kProgramMax = 1920.0f; // 16-byte units from 0x0800 to 0x7FFF

const QLatin1String kCmdWake("0000");
const QLatin1String kCmdVersion("0001");
const QLatin1String kCmdErase("0301");
const QLatin1String kCmdProgram("0202");
const QLatin1String kCmdBlankCheck("0A02");
const QLatin1String kCmdVerify("0A01");
const QLatin1String kCmdReset("0B01");
const QLatin1String kCmdFinish("0801");

const QLatin1String kModelCode("0574");
const unsigned char kNoFirmware = 0xFF;

// Reply bytes by 1-based position; a position the reply does not reach is -1
// and so never matches a byte.
int byteAt(const QByteArray &reply, int position)
{
    return position >= 1 && position <= reply.size() ? static_cast<unsigned char>(reply.at(position - 1)) : -1;
}

QString charsAt(const QByteArray &reply, int position, int count)
{
    return QString::fromLatin1(reply.mid(position - 1, count));
}

// Result bytes 8 to 11, most significant first: "3B-FF-C4-01".
QString errorData(const QByteArray &reply)
{
    QStringList parts;
    for (int position = 11; position >= 8; --position) {
        const int b = byteAt(reply, position);
        parts << (b < 0 ? QStringLiteral("??") : QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper());
    }
    return parts.join(QLatin1Char('-'));
}

} // namespace

void frmMain::MSComm1_OnComm()
{
    if (MSComm1.CommEvent() != MSComm::comEvReceive)
        return;
    QByteArray sReceive = MSComm1.Input();
    HandleInput(sReceive);
}

void frmMain::HandleInput(QByteArray &sReceive)
{
    sReply = sReceive;
    bReplyReceived = true;
    ++m_iRepliesReceived;
}

void frmMain::waitForReply(int &iPolls)
{
    // Each poll serves the window's pending events once (Cancel, menus,
    // repaints), then waits on the port itself for up to a millisecond, so a
    // reply raises its receive event the moment it is complete and the next
    // packet follows at once. Events first: drawing what the packet changed
    // then overlaps its time on the line instead of delaying the next one.
    bReplyReceived = false;
    iPolls = 0;
    while (!bReplyReceived) {
        if (onPoll)
            onPoll(iPolls + 1);
        QCoreApplication::processEvents();
        if (!bReplyReceived)
            MSComm1.waitForInput(kPollMs);
        ++iPolls;
        if (iPolls > kPollLimit || MSComm1.lineFailed())
            bReplyReceived = true;
    }
}

void frmMain::pauseWithEvents(int msecs)
{
    bool bElapsed = false;
    QTimer pause;
    pause.setSingleShot(true);
    pause.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pause, &QTimer::timeout, [&bElapsed] { bElapsed = true; });
    pause.start(msecs);
    while (!bElapsed && !bStopped)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
}

void frmMain::communicationFailure(const QString &text)
{
    MsgBox(text, MsgKind::Warning);
    setProgressValue(0);
    ResetStatusBar();
    setExitCaption(QStringLiteral("Exit (ESC)"));
    bStopped = true;
    bUpdateOver = true;
    bFailed = true;
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
}

void frmMain::advanceProgress(bool &bFirst, float maximum, const QString &label)
{
    if (bFirst) {
        bFirst = false;
        setProgressValue(0);
        setProgressMax(maximum);
    }
    setProgressValue(progressValue() + 1);
    const int percent = static_cast<int>(std::floor(double(progressValue()) * 100.0 / double(progressMax())));
    setPanelText(1, label + QString::number(percent) + QLatin1Char('%'));
}

void frmMain::Send(const QString &sDataOut)
{
    m_bReplyJudged = false;
    if (bStopped)
        return;

    sCommand = commandText(sDataOut);

    // Only what the reply depends on comes before the write. The status texts
    // and the progress bar follow it: drawn while the packet and its reply are
    // on the line, they add nothing to the exchange.
    if (sCommand == kCmdWake)
        MSComm1.setRThreshold(8);
    else if (sCommand == kCmdVersion)
        MSComm1.setRThreshold(16);
    else if (sCommand == kCmdErase || sCommand == kCmdProgram || sCommand == kCmdReset)
        MSComm1.setRThreshold(5);
    else if (sCommand == kCmdBlankCheck || sCommand == kCmdVerify)
        MSComm1.setRThreshold(13);

    // Bytes left over from an earlier reply (a late piece, line noise) would
    // otherwise be read as the start of this packet's reply.
    MSComm1.discardInput();
    const bool bWritten = MSComm1.Output(aStringToHex(sDataOut));

    if (sCommand == kCmdErase) {
        advanceProgress(bFirstErase, kEraseMax, QStringLiteral("Erasing ...  "));
    } else if (sCommand == kCmdProgram) {
        advanceProgress(bFirstProgram, kProgramMax, QStringLiteral("Programming ...  "));
    } else if (sCommand == kCmdBlankCheck) {
        setPanelText(1, QStringLiteral("Blank Checking ..."));
    } else if (sCommand == kCmdVerify) {
        setPanelText(1, QStringLiteral("Verifying ..."));
    } else if (sCommand == kCmdReset) {
        setPanelText(1, QStringLiteral("Resetting Defaults ..."));
    } else if (sCommand == kCmdFinish) {
        setPanelText(1, QStringLiteral("Update Finished"));
        bUpdateOver = true;
    }

    if (!bWritten) {
        // A port that refuses the packet (adapter unplugged, line hung up) will
        // never bring its reply; waiting for it would only delay the verdict.
        if (!bStopped)
            communicationFailure(QStringLiteral("Error communicating with Port."));
    } else if (!bUpdateOver) {
        int iPolls = 0;
        waitForReply(iPolls);

        // A wait ended by Cancel or by closing the window judges nothing: the
        // reply field may still hold an answer from an earlier exchange.
        if (!bStopped) {
            bool bFailedNow = false;
            if (sCommand == kCmdWake) {
                if (MSComm1.lineFailed()) {
                    communicationFailure(QStringLiteral("Error communicating with Port."));
                    bFailedNow = true;
                } else {
                    pauseWithEvents(kWakePauseMs);
                }
            } else if (iPolls > kPollLimit || MSComm1.lineFailed()) {
                communicationFailure(QStringLiteral("Error communicating with Port."));
                bFailedNow = true;
            } else if (byteAt(sReply, 1) != 0x0F || byteAt(sReply, 2) != 0x0F) {
                communicationFailure(QStringLiteral("Make sure device is in bootloader mode."));
                bFailedNow = true;
            }
            if (!bFailedNow && !bStopped) {
                m_bReplyJudged = true;
                interpretReply();
            }
        }
    }

    if (bUpdateOver) {
        setExitCaption(QStringLiteral("Exit (ESC)"));
        bStopped = true;
        bVersionAccepted = false;
        if (MSComm1.PortOpen())
            MSComm1.setPortOpen(false);
        // The unit starts its new firmware only if the finish command reached
        // the line; a close that had to drop it leaves the unit waiting.
        if (sCommand == kCmdFinish && bWritten) {
            if (MSComm1.outputDropped())
                communicationFailure(QStringLiteral("Error communicating with Port."));
            else
                m_bFinishSent = true;
        }
    }
}

void frmMain::interpretReply()
{
    if (sCommand == kCmdVersion) {
        if (charsAt(sReply, 5, 4) != kModelCode && !bStopped) {
            MsgBox(QStringLiteral("Attached device is not the AXR-574."), MsgKind::Warning);
            setPanelText(1, QStringLiteral("For Help press F1"));
            // Refused before anything was written, the unit is as it was. Once
            // accepted and written, a unit that no longer identifies itself
            // must not be told to start: the update has failed.
            if (bVersionAccepted)
                bFailed = true;
            bUpdateOver = true;
        }
        const QString sUnitVersion = charsAt(sReply, 9, 4);
        if (byteAt(sReply, 9) == kNoFirmware) {
            setPanelText(4, QStringLiteral("0000.00"));
            bVersionAccepted = true;
        } else {
            setPanelText(4, sUnitVersion + QLatin1Char('.') + charsAt(sReply, 13, 2));
        }
        if (bVersionAccepted || bUpdateOver)
            return;
        if (QString::compare(sVersion, sUnitVersion, Qt::CaseInsensitive) > 0) {
            bVersionAccepted = true;
            return;
        }
        const QString question = QStringLiteral("Would you like to replace version ") + sUnitVersion
            + QStringLiteral(" with ") + sVersion + QLatin1Char('?');
        if (MsgBox(question, MsgKind::Question) == QMessageBox::Yes) {
            bVersionAccepted = true;
        } else {
            setPanelText(1, QStringLiteral("For Help press F1"));
            bUpdateOver = true;
        }
    } else if (sCommand == kCmdBlankCheck) {
        const bool bBlank = byteAt(sReply, 8) == 0x00 && byteAt(sReply, 9) == 0xC4 && byteAt(sReply, 10) == 0xFF
            && byteAt(sReply, 11) == 0x3B;
        if (!bBlank) {
            setPanelText(1, QStringLiteral("Blank Check Failed"));
            setPanelText(3, errorData(sReply));
            MsgBox(QStringLiteral("Blank Check Error"), MsgKind::Error);
            bUpdateOver = true;
            bFailed = true;
        }
    } else if (sCommand == kCmdVerify) {
        if (byteAt(sReply, 8) != 0x00 || byteAt(sReply, 9) != 0x00) {
            setPanelText(1, QStringLiteral("Verify Failed"));
            setPanelText(3, errorData(sReply));
            MsgBox(QStringLiteral("Verify Checksum Error"), MsgKind::Error);
            bUpdateOver = true;
            bFailed = true;
        }
    }
}

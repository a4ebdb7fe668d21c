// Getting to the bootloader: the probe that the selected port exists, and the
// remote wake of a unit running its normal firmware.
#include "ui/frmMain.h"

#include "update/packets.h"

namespace {

// The unit listens at whatever rate it was set to, so every rate is tried,
// slowest first.
const char *const kWakeSettings[] = {"4800,N,8,1", "9600,N,8,1", "19200,N,8,1", "38400,N,8,1", "57600,N,8,1"};

} // namespace

bool frmMain::PortAvailable(qint16 iPort)
{
    bool bAvailable = true;
    MSComm1.setCommPort(iPort);
    if (!MSComm1.setPortOpen(true) && MSComm1.lastError() == MSComm::ErrNoSuchPort) {
        // Said first as it always was; then what the number named, and what is here.
        MsgBox(QStringLiteral("Selected Com Port is not available.\r\n\r\n") + MSComm1.missingPortText(iPort),
            MsgKind::Warning);
        setPanelText(1, QStringLiteral("For Help press F1"));
        setExitCaption(QStringLiteral("Exit (ESC)"));
        bStopped = true;
        bAvailable = false;
    }
    MSComm1.setPortOpen(false);
    return bAvailable;
}

void frmMain::StartBootloader()
{
    // A run that has already stopped (the port in use or not opened) has no
    // line to wake a unit on.
    if (bStopped)
        return;

    static const char kAck[] = {'\xFE', '\xFE', '\x33', '\x00', '\x42', '\x4C', '\x3F', '\xFD'};
    sRemoteAck = QByteArray(kAck, sizeof kAck);

    // Only the tail counts: a chunk may carry noise before the acknowledgement.
    // And only a reply of this scan: sReply may hold one from an earlier run.
    const int iRepliesBefore = m_iRepliesReceived;
    auto acknowledged = [this, iRepliesBefore] {
        return m_iRepliesReceived > iRepliesBefore && sReply.size() >= sRemoteAck.size() && sReply.endsWith(sRemoteAck);
    };

    setMessage(QStringLiteral("Please wait.  Attempting to start bootloader."));
    setPanelText(1, QStringLiteral("Starting Bootloader ."));

    MSComm1.setSettings(QLatin1String(kWakeSettings[0]));
    Send(QLatin1String(firmware::kWakeFrame));
    for (std::size_t attempt = 1; attempt < std::size(kWakeSettings); ++attempt) {
        // Once the run stops, the later attempts would send nothing; their
        // dots would only be added to the texts the stop left.
        if (acknowledged() || bStopped)
            break;
        setPanelText(1, panelText(1) + QLatin1Char('.'));
        MSComm1.setSettings(QLatin1String(kWakeSettings[attempt]));
        Send(QLatin1String(firmware::kWakeFrame));
    }

    if (acknowledged() && !bStopped) {
        setMessage(QString());
        setPanelText(1, QStringLiteral("Bootloader Ready ..."));
    }
}

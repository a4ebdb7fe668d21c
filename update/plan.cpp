// Walking the firmware image: every erase packet, then every program packet,
// each through one exchange.
#include "ui/frmMain.h"

#include "update/packets.h"

void frmMain::EraseDevice()
{
    for (std::size_t i = 0; i < firmware::ErasePacketCount; ++i)
        Send(QString::fromLatin1(firmware::ErasePackets[i]));
}

void frmMain::ProgramDevice()
{
    for (std::size_t i = 0; i < firmware::ProgramPacketCount; ++i)
        Send(QString::fromLatin1(firmware::ProgramPackets[i]));

    if (bStopped)
        return;
    // The count runs over all 1920 units of the region but the image skips
    // some, so the bar is completed here.
    setProgressValue(progressMax());
    setPanelText(1, QStringLiteral("Programming ...  100%"));
}

#pragma once

#include <QByteArray>
#include <QString>

// Packet text ("0F0F0001FF04") to the bytes written to the port, one byte per
// digit pair. Odd or non-hex input gives a defined result (see frame::fromHex).
QByteArray aStringToHex(const QString &sTransmit);

// Characters 5 to 8 of a packet text: the command byte and the byte after it.
QString commandText(const QString &packetText);

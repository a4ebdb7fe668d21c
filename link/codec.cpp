#include "codec.h"

#include "link/frame.h"

QByteArray aStringToHex(const QString &sTransmit)
{
    // Packet texts are ASCII; anything else becomes '?', which reads as no digit.
    const QByteArray text = sTransmit.toLatin1();
    const frame::Bytes bytes
        = frame::fromHex(std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

QString commandText(const QString &packetText)
{
    return packetText.mid(4, 4);
}

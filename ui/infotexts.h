// The fixed texts of the information windows, kept together so that wording
// changes touch one file.
#pragma once

#include <QString>
#include <QStringList>

namespace infotexts {

// Lines are joined by CR LF with no break after the last, the form in which
// every multi-line text of the program is kept.
QString joinLines(const QStringList &lines);

QStringList instructionLines();
QStringList historyLines();
// sVersion is the main window's four-digit version ("1208").
QStringList aboutLines(const QString &sVersion);

} // namespace infotexts

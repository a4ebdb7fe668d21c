// Windows ends a program by closing its windows, which ends a run in order by itself.
#include "quitsignals.h"

QuitOnSignals::QuitOnSignals(QObject *parent)
    : QObject(parent)
{ }

QuitOnSignals::~QuitOnSignals() = default;

void QuitOnSignals::quit(int) { }

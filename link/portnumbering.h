// Port numbers as the user picks them (1 for COM1), the same rules on every
// platform. A port the system numbers itself (Windows' COM3) has that
// number. The others present at the first census are numbered in order, USB
// adapters first, then the rest, each group in natural name order; a port
// that appears later takes the next number not yet given. A number names
// one port, by its identity, until the numbering ends: when the port goes
// its number names nothing, when it comes back (under any name) the number
// names it again, and no other port ever takes it.
#pragma once

#include "link/systemports.h"

#include <QList>
#include <QMap>
#include <QString>

#include <optional>

class PortNumbering
{
public:
    struct Numbered
    {
        int number = 0;
        SystemPort port; // as last seen
        bool present = false;
    };

    // Takes stock of the ports present now, giving the new ones numbers.
    void takeCensus(const QList<SystemPort> &present);
    bool started() const { return m_started; }

    // What a number names, present or gone; nothing when it never named a port.
    std::optional<Numbered> find(int number) const;
    // The ports of the last census, by number.
    QList<Numbered> present() const;

private:
    QMap<int, Numbered> m_numbers;
    int m_next = 1;
    bool m_started = false;
};

// "ttyUSB10" after "ttyUSB9": digit runs compare by value.
bool naturalLess(const QString &a, const QString &b);

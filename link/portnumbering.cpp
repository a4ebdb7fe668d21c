#include "portnumbering.h"

#include <algorithm>

bool naturalLess(const QString &a, const QString &b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            int ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            const qulonglong na = a.mid(i, ei - i).toULongLong();
            const qulonglong nb = b.mid(j, ej - j).toULongLong();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

void PortNumbering::takeCensus(const QList<SystemPort> &present)
{
    // Newcomers are numbered in this order: most units hang on a USB adapter.
    QList<SystemPort> ordered = present;
    std::stable_sort(ordered.begin(), ordered.end(), [](const SystemPort &a, const SystemPort &b) {
        if (a.usb != b.usb)
            return a.usb;
        return a.name != b.name ? naturalLess(a.name, b.name) : naturalLess(a.location, b.location);
    });

    for (Numbered &entry : m_numbers)
        entry.present = false;
    for (const SystemPort &port : ordered) {
        auto known = std::find_if(m_numbers.begin(), m_numbers.end(), [&](const Numbered &entry) {
            return !entry.present && entry.port.identity == port.identity;
        });
        if (port.number > 0 && (known == m_numbers.end() || known->number != port.number)) {
            // The system's own number is the port's, whoever had it before.
            if (known != m_numbers.end())
                m_numbers.erase(known);
            known = m_numbers.end();
            m_numbers.remove(port.number);
        }
        if (known == m_numbers.end()) {
            const int number = port.number > 0 ? port.number : m_next;
            known = m_numbers.insert(number, Numbered {number, port, false});
            m_next = std::max(m_next, number + 1);
        }
        known->port = port;
        known->present = true;
    }
    m_started = true;
}

std::optional<PortNumbering::Numbered> PortNumbering::find(int number) const
{
    const auto entry = m_numbers.constFind(number);
    if (entry == m_numbers.constEnd())
        return std::nullopt;
    return *entry;
}

QList<PortNumbering::Numbered> PortNumbering::present() const
{
    QList<Numbered> ports;
    for (const Numbered &entry : m_numbers) {
        if (entry.present)
            ports << entry;
    }
    return ports;
}

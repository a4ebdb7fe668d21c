// The fixed-size forms were laid out for a narrow 8-point face. Where the
// desktop's font is wider their fixed labels would clip, so the text shrinks
// instead of the layout growing.
#pragma once

#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>

inline QSize labelTextSize(const QLabel &label, const QFont &font)
{
    return QFontMetrics(font).boundingRect(QRect(0, 0, 4096, 4096), int(label.alignment()), label.text()).size();
}

inline void shrinkFontToFit(QLabel *label, qreal minPointSize = 6.0)
{
    QFont font = label->font();
    if (font.pointSizeF() <= 0)
        return; // a pixel-sized font was chosen deliberately; leave it
    const QSize room = label->contentsRect().size();
    while (font.pointSizeF() - 0.5 >= minPointSize) {
        const QSize needed = labelTextSize(*label, font);
        if (needed.width() <= room.width() && needed.height() <= room.height())
            break;
        font.setPointSizeF(font.pointSizeF() - 0.5);
    }
    label->setFont(font);
}

// A text box shows its lines unwrapped, in a face small enough for the widest
// line and, where it has no scroll bar, for every line.
inline void shrinkFontToFit(QPlainTextEdit *edit, qreal minPointSize = 6.0)
{
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont font = edit->font();
    if (font.pointSizeF() <= 0)
        return;
    const QStringList lines = edit->toPlainText().split(QLatin1Char('\n'));
    const int inset = 2 * (edit->frameWidth() + int(edit->document()->documentMargin()));
    const bool scrolls = edit->verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff;
    const int scrollBar = scrolls ? edit->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, edit) : 0;
    const QSize room(edit->width() - inset - scrollBar, edit->height() - inset);
    while (font.pointSizeF() - 0.5 >= minPointSize) {
        const QFontMetrics metrics(font);
        int width = 0;
        for (const QString &line : lines)
            width = std::max(width, metrics.horizontalAdvance(line));
        if (width <= room.width() && (scrolls || metrics.lineSpacing() * lines.size() <= room.height()))
            break;
        font.setPointSizeF(font.pointSizeF() - 0.5);
    }
    edit->setFont(font);
}

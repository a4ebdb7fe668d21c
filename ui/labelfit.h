// The fixed-size forms were laid out for a narrow 8-point face. Where the
// desktop's font is wider their fixed labels would clip, so the text shrinks
// instead of the layout growing.
#pragma once

#include <QFontMetrics>
#include <QLabel>

inline QSize labelTextSize(const QLabel &label, const QFont &font)
{
    return QFontMetrics(font)
        .boundingRect(QRect(0, 0, 4096, 4096), int(label.alignment()), label.text())
        .size();
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

#ifndef RIMEGLASS_TERMINALTEXT_H
#define RIMEGLASS_TERMINALTEXT_H

#include <QString>

// `text` with every control character written as \xNN, so that what an instrument or a
// file says cannot move the terminal's cursor or change its colours.
inline QString printable(const QString &text)
{
    QString shown;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

#endif

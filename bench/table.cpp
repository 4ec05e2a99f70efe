// Reads the rows the benchmark programs wrote ("ROW" and six tab-separated cells) from
// standard input and prints them as one aligned Markdown table.

#include <QFile>
#include <QStringList>
#include <QTextStream>
#include <QVector>

int main()
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return 1;

    QVector<QStringList> rows;
    rows.append({QStringLiteral("Figure"), QStringLiteral("Measure"), QStringLiteral("Value"),
                 QStringLiteral("Against the wire"), QStringLiteral("Goal"),
                 QStringLiteral("Verdict")});
    while (!input.atEnd()) {
        const QString line = QString::fromUtf8(input.readLine()).trimmed();
        QStringList cells = line.split(QLatin1Char('\t'));
        if (cells.size() != 7 || cells.takeFirst() != QLatin1String("ROW"))
            continue;
        rows.append(cells);
    }

    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths.at(i), row.at(i).size());
    }

    QTextStream out(stdout);
    const auto print = [&](const QStringList &row) {
        out << '|';
        for (int i = 0; i < row.size(); ++i)
            out << ' ' << row.at(i).leftJustified(widths.at(i)) << " |";
        out << '\n';
    };
    print(rows.first());
    QStringList rule;
    for (int width : widths)
        rule.append(QString(width, QLatin1Char('-')));
    print(rule);
    for (int i = 1; i < rows.size(); ++i)
        print(rows.at(i));
    return 0;
}

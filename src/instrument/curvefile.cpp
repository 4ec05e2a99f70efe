#include "curvefile.h"

#include "inputfile.h"
#include "instrumentlimits.h"

#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

enum DataFormat {
    MillivoltsPerKelvin = 1,
    VoltsPerKelvin = 2,
    OhmsPerKelvin = 3,
    LogOhmsPerKelvin = 4
};

struct HeaderField
{
    QString value;
    int line = 0;
};

// Header fields by key, lower case with single spaces ("number of breakpoints").
using Header = QHash<QString, HeaderField>;

struct Breakpoint
{
    int number = 0;
    double units = 0.0;
    double kelvin = 0.0;
    QString kelvinText;
};

const char *const curveKeys[]
    = {"sensor model",   "serial number",           "data format",
       "setpoint limit", "temperature coefficient", "number of breakpoints"};

const QChar enDash(0x2013);

// Microvolts in a signed 32-bit payload field: volts from -2147.483648 to 2147.483647.
// Either column may be sent as voltage (Transpose swaps them), so both keep to it; no
// sensor of this instrument reads anywhere near 2147 K.
constexpr double fieldUnitsPerValue = 1000000.0;

const QRegularExpression &whitespace()
{
    static const QRegularExpression pattern(QStringLiteral("\\s+"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

// The text as the two-column grammar sees it: UTF-8 up to the first NUL, CR LF as LF.
QStringList fileLines(const QByteArray &fileData)
{
    const int nul = fileData.indexOf('\0');
    QString text = QString::fromUtf8(nul < 0 ? fileData : fileData.left(nul));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text.split(QLatin1Char('\n'));
}

QString firstWord(const QString &text)
{
    return text.split(whitespace(), Qt::SkipEmptyParts).value(0);
}

// Collects the "Key: value" lines at the top (blank lines between them allowed) and
// returns the index of the first line after them.
int readHeader(const QStringList &lines, Header *header)
{
    static const QRegularExpression keyValue(QStringLiteral("^\\s*([A-Za-z][^:]*):(.*)$"));
    int index = 0;
    for (; index < lines.size(); ++index) {
        const QString &line = lines.at(index);
        if (line.trimmed().isEmpty())
            continue;
        const QRegularExpressionMatch match = keyValue.match(line);
        if (!match.hasMatch())
            break;
        header->insert(match.captured(1).simplified().toLower(),
                       {match.captured(2).trimmed(), index + 1});
    }
    return index;
}

bool isCurveHeader(const Header &header)
{
    return std::any_of(std::begin(curveKeys), std::end(curveKeys),
                       [&header](const char *key) { return header.contains(QLatin1String(key)); });
}

// Units of the file's "Units" column in one volt; 0 when the file cannot be used, with
// the reason in `refusal`.
double unitsPerVolt(const Header &header, QString *refusal)
{
    const HeaderField field = header.value(QStringLiteral("data format"));
    if (field.line == 0) {
        *refusal = CurveFile::tr("The curve file gives no data format.");
        return 0.0;
    }
    bool ok = false;
    const int format = firstWord(field.value).toInt(&ok);
    switch (ok ? format : 0) {
    case MillivoltsPerKelvin:
        return 1000.0;
    case VoltsPerKelvin:
        return 1.0;
    case OhmsPerKelvin:
    case LogOhmsPerKelvin:
        *refusal = CurveFile::tr("The curve file is a resistance curve (data format %1): this "
                                 "instrument measures a voltage and cannot use a resistance curve.")
                       .arg(format);
        return 0.0;
    default:
        *refusal = CurveFile::tr("Line %1: unknown data format \"%2\"; only 1 (millivolts) and 2 "
                                 "(volts) can be used.")
                       .arg(field.line)
                       .arg(firstWord(field.value));
        return 0.0;
    }
}

// A row of three numbers: breakpoint number, units, temperature.
bool readBreakpoint(const QString &line, Breakpoint *point)
{
    const QStringList fields = line.split(whitespace(), Qt::SkipEmptyParts);
    if (fields.size() != 3)
        return false;
    bool numberOk = false;
    bool unitsOk = false;
    bool kelvinOk = false;
    point->number = fields.at(0).toInt(&numberOk);
    point->units = fields.at(1).toDouble(&unitsOk);
    point->kelvin = fields.at(2).toDouble(&kelvinOk);
    point->kelvinText = fields.at(2);
    return numberOk && unitsOk && kelvinOk;
}

void readBreakpoints(const QStringList &lines, int firstIndex, double unitsPerVolt, CurveFile *file,
                     QVector<int> *pointLines)
{
    QHash<double, int> lineOfTemperature;
    int expectedNumber = 1;
    for (int index = firstIndex; index < lines.size(); ++index) {
        Breakpoint point;
        if (!readBreakpoint(lines.at(index), &point))
            continue;
        const int line = index + 1;
        if (point.number != expectedNumber)
            file->warnings.append(
                CurveFile::tr("Line %1: breakpoint %2 out of sequence, %3 expected")
                    .arg(line)
                    .arg(point.number)
                    .arg(expectedNumber));
        expectedNumber = point.number + 1;
        if (lineOfTemperature.contains(point.kelvin))
            file->warnings.append(CurveFile::tr("Line %1: temperature %2 K repeats line %3")
                                      .arg(line)
                                      .arg(point.kelvinText)
                                      .arg(lineOfTemperature.value(point.kelvin)));
        else
            lineOfTemperature.insert(point.kelvin, line);
        file->table.temperatures.append(point.kelvin);
        file->table.voltages.append(point.units / unitsPerVolt);
        pointLines->append(line);
    }
}

QString countMismatch(const Header &header, int found)
{
    const HeaderField field = header.value(QStringLiteral("number of breakpoints"));
    bool ok = false;
    const int announced = firstWord(field.value).toInt(&ok);
    if (field.line == 0 || !ok || announced == found)
        return QString();
    return CurveFile::tr("Line %1: %2 breakpoints announced, %3 found")
        .arg(field.line)
        .arg(announced)
        .arg(found);
}

QString shortest(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// Truncated toward zero, the scaled value is a signed 32-bit number.
bool fitsPayloadField(double value)
{
    const double scaled = value * fieldUnitsPerValue;
    return scaled > -2147483649.0 && scaled < 2147483648.0;
}

// Why the point at `line` cannot go into the instrument's table; empty when it can.
QString pointRefusal(int line, double kelvin, double volts)
{
    for (const double value : {kelvin, volts}) {
        if (!std::isfinite(value))
            return CurveFile::tr("Line %1: %2 is not a finite number.")
                .arg(line)
                .arg(shortest(value));
        if (!fitsPayloadField(value))
            return CurveFile::tr("Line %1: %2 does not fit the instrument's table, which takes "
                                 "values from -2147.483648 to 2147.483647 in either column.")
                .arg(line)
                .arg(shortest(value));
    }
    return QString();
}

// Refuses a table the instrument cannot hold, naming the first line it cannot take;
// warns about temperatures below absolute zero.
void checkPoints(CurveFile *file, const QVector<int> &pointLines)
{
    CalibrationTable &table = file->table;
    const int count = table.temperatures.size();
    if (count > rimeglass::InstrumentLimits::calibrationPoints)
        file->refusal = CurveFile::tr("The table has %1 points; the instrument holds at most %2.")
                            .arg(count)
                            .arg(rimeglass::InstrumentLimits::calibrationPoints);
    for (int i = 0; i < count && file->refusal.isEmpty(); ++i) {
        const int line = pointLines.at(i);
        file->refusal = pointRefusal(line, table.temperatures.at(i), table.voltages.at(i));
        if (file->refusal.isEmpty() && table.temperatures.at(i) < 0.0)
            file->warnings.append(CurveFile::tr("Line %1: %2 K is below absolute zero.")
                                      .arg(line)
                                      .arg(shortest(table.temperatures.at(i))));
    }
    if (!file->refusal.isEmpty())
        table = CalibrationTable();
}

} // namespace

CurveFile CurveFile::fromFileData(const QByteArray &fileData)
{
    CurveFile file;
    const QStringList lines = fileLines(fileData);
    Header header;
    const int firstRowIndex = readHeader(lines, &header);
    QVector<int> pointLines;
    if (!isCurveHeader(header)) {
        file.table = CalibrationTable::fromFileData(fileData, &pointLines);
        checkPoints(&file, pointLines);
        return file;
    }

    file.isCurveFile = true;
    file.model = header.value(QStringLiteral("sensor model")).value;
    file.serialNumber = header.value(QStringLiteral("serial number")).value;
    const double scale = unitsPerVolt(header, &file.refusal);
    if (!file.refusal.isEmpty())
        return file;

    readBreakpoints(lines, firstRowIndex, scale, &file, &pointLines);
    // Checked after the rows, but it names a header line, so it comes first.
    const QString mismatch = countMismatch(header, file.table.temperatures.size());
    if (!mismatch.isEmpty())
        file.warnings.prepend(mismatch);
    checkPoints(&file, pointLines);
    return file;
}

CurveFile CurveFile::fromFile(const QString &path)
{
    QString unreadable;
    const QByteArray fileData = InputFile::read(path, &unreadable);
    if (unreadable.isEmpty())
        return fromFileData(fileData);
    CurveFile file;
    file.refusal = unreadable;
    return file;
}

QByteArray CurveFile::toFileData(const QString &name, const QVector<double> &temperatures,
                                 const QVector<double> &voltages)
{
    const int count = temperatures.size();
    const double limit
        = count == 0 ? 0.0 : *std::max_element(temperatures.cbegin(), temperatures.cend());
    const QString lineEnd = QStringLiteral("\r\n");

    QString text;
    text += QStringLiteral("Sensor Model:   %1").arg(name) + lineEnd;
    text += QStringLiteral("Serial Number:  %1").arg(name) + lineEnd;
    text += QStringLiteral("Data Format:    2      (Volts/Kelvin)") + lineEnd;
    text += QStringLiteral("SetPoint Limit: %1      (Kelvin)").arg(shortest(limit)) + lineEnd;
    text += QStringLiteral("Temperature coefficient:  1 (Negative)") + lineEnd;
    text += QStringLiteral("Number of Breakpoints:   %1").arg(count) + lineEnd;
    text += lineEnd;
    text += QStringLiteral("No.   Units      Temperature (K)") + lineEnd;
    text += lineEnd;
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("%1  %2  %3")
                    .arg(i + 1, 3)
                    .arg(shortest(voltages.value(i)), -12)
                    .arg(shortest(temperatures.at(i)))
            + lineEnd;
    return text.toUtf8();
}

QString CurveFile::summary(const QVector<double> &temperatures, const QVector<double> &voltages)
{
    const int count = temperatures.size();
    const QString points = count == 1 ? tr("1 point") : tr("%1 points").arg(count);
    if (count == 0 || voltages.size() != count)
        return points;
    const auto kelvin = std::minmax_element(temperatures.cbegin(), temperatures.cend());
    const auto volts = std::minmax_element(voltages.cbegin(), voltages.cend());
    return tr("%1, %2%3%4 K, %5%3%6 V")
        .arg(points)
        .arg(*kelvin.first, 0, 'f', 1)
        .arg(enDash)
        .arg(*kelvin.second, 0, 'f', 1)
        .arg(*volts.first, 0, 'f', 4)
        .arg(*volts.second, 0, 'f', 4);
}

QString CurveFile::monotonicityWarning(const QVector<double> &temperatures,
                                       const QVector<double> &voltages)
{
    if (temperatures.size() < 2 || voltages.size() != temperatures.size())
        return QString();
    QVector<int> order(temperatures.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&temperatures](int a, int b) {
        return temperatures.at(a) < temperatures.at(b);
    });

    const bool falling = voltages.at(order.at(1)) < voltages.at(order.at(0));
    for (int i = 1; i < order.size(); ++i) {
        const double before = voltages.at(order.at(i - 1));
        const double after = voltages.at(order.at(i));
        if (falling ? after < before : after > before)
            continue;
        return tr("The voltage is not monotonic in temperature near %1 K; a diode "
                  "curve must be, or the instrument gets an ambiguous table.")
            .arg(temperatures.at(order.at(i)), 0, 'f', 1);
    }
    return QString();
}

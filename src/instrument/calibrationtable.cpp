#include "calibrationtable.h"

#include <QDataStream>
#include <QRegularExpression>
#include <QStringList>

namespace {

const qint32 payloadMagic = 0x05DE41D4;
const int payloadNameSize = 16;
const int reservedPoints = 2048;

// Scales, truncates toward zero to 64 bits and keeps the low 32 bits, which is what the
// instrument reads; a value that is not a number or does not fit 64 bits gives 0.
qint32 scaledToWire(double value, double scale)
{
    const double scaled = value * scale;
    const double limit = 9223372036854775808.0; // 2^63
    if (!(scaled >= -limit && scaled < limit))
        return 0;
    return qint32(quint32(quint64(qint64(scaled)) & 0xffffffffu));
}

} // namespace

CalibrationTable CalibrationTable::fromFileData(const QByteArray &fileData, QVector<int> *lines)
{
    const int nul = fileData.indexOf('\0');
    QString text = QString::fromUtf8(nul < 0 ? fileData : fileData.left(nul));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));

    static const QRegularExpression whitespace(QStringLiteral("\\s+"),
                                               QRegularExpression::UseUnicodePropertiesOption);
    CalibrationTable table;
    table.temperatures.reserve(reservedPoints);
    table.voltages.reserve(reservedPoints);
    const QStringList textLines = text.split(QLatin1Char('\n'));
    for (int index = 0; index < textLines.size(); ++index) {
        const QStringList fields = textLines.at(index).split(whitespace, Qt::SkipEmptyParts);
        if (fields.size() != 2)
            continue;
        bool temperatureOk = false;
        bool voltageOk = false;
        const double temperature = fields.at(0).toDouble(&temperatureOk);
        const double voltage = fields.at(1).toDouble(&voltageOk);
        if (!temperatureOk || !voltageOk)
            continue;
        table.temperatures.append(temperature);
        table.voltages.append(voltage);
        if (lines)
            lines->append(index + 1);
    }
    return table;
}

QByteArray CalibrationTable::encodePayload(const QString &name, const QVector<double> &temperatures,
                                           const QVector<double> &voltages)
{
    const QByteArray nameField = name.toUtf8().leftJustified(payloadNameSize, '\0', true);
    const int count = temperatures.size();

    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << payloadMagic << qint32(count);
    out.writeRawData(nameField.constData(), payloadNameSize);
    for (int i = 0; i < count; ++i) {
        out << scaledToWire(temperatures.at(i), 1000.0);
        out << scaledToWire(i < voltages.size() ? voltages.at(i) : 0.0, 1000000.0);
    }
    return payload;
}

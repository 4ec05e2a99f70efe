// The calibration file grammar, curve files and the payload encoder: any file, any name.

#include "calibrationtable.h"
#include "curvefile.h"
#include "fuzzsupport.h"

#include <cstdint>

using fuzzsupport::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file(reinterpret_cast<const char *>(data), int(size));
    const CalibrationTable table = CalibrationTable::fromFileData(file);
    check(table.temperatures.size() == table.voltages.size());

    // The operator's name field takes at most 8 characters; the encoder must cope with
    // any text all the same, so the name comes from the input's first bytes.
    const QString name = QString::fromUtf8(file.left(24));
    const QByteArray payload
        = CalibrationTable::encodePayload(name, table.temperatures, table.voltages);
    check(payload.size() == 24 + 8 * table.temperatures.size() && payload.size() % 8 == 0);

    // What the window reads: a refused curve file has no table, and any table exports
    // to a curve file that reads back to the same payload.
    const CurveFile curve = CurveFile::fromFileData(file);
    const QVector<double> &temperatures = curve.table.temperatures;
    const QVector<double> &voltages = curve.table.voltages;
    check(temperatures.size() == voltages.size());
    check(curve.refusal.isEmpty() || temperatures.isEmpty());
    const CurveFile back = CurveFile::fromFileData(
        CurveFile::toFileData(QStringLiteral("fuzz"), temperatures, voltages));
    check(back.isCurveFile && back.refusal.isEmpty());
    check(CalibrationTable::encodePayload(name, back.table.temperatures, back.table.voltages)
          == CalibrationTable::encodePayload(name, temperatures, voltages));
    return 0;
}

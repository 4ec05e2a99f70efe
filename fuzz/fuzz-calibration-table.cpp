// The calibration file grammar and the payload encoder: any file, any name.

#include "calibrationtable.h"
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
    return 0;
}

// The receive path of Device: arbitrary bytes in arbitrary splits through the framing
// and the parser, while no transfer, a calibration upload or a firmware upgrade runs.

#include "device-serial.h"
#include "fuzzsupport.h"

#include <cstdint>
#include <cstdlib>

using fuzzsupport::check;

namespace {

void startTransfer(Device &device, uint8_t kind)
{
    switch (kind & 3) {
    case 1:
        device.uploadCalibration(QByteArray(200, 'c'));
        break;
    case 2:
        // A boot loader identified as such: erase at once, no reset.
        device.vendor = QStringLiteral("MORVA");
        device.model = QStringLiteral("ZURKD550-BS");
        device.version = QStringLiteral("1.3.0.0");
        device.bootstrap = true;
        device.upgradeFirmware(QByteArray(500, 'f'));
        break;
    case 3:
        device.upgradeFirmware(QByteArray(300, 'f')); // waits for the reset
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::silenceDebugLog();
    if (size == 0)
        return 0;

    Device device(nullptr);
    const uint8_t control = data[0];
    startTransfer(device, control);

    // The first byte also seeds the sizes of the reads the bytes arrive in.
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), int(size - 1));
    unsigned readSize = (control >> 2) + 1u;
    for (int offset = 0; offset < bytes.size();) {
        const int length = qMin(int(readSize), bytes.size() - offset);
        device.serialReceive(bytes.mid(offset, length));
        offset += length;
        readSize = (readSize * 7u + 3u) % 4099u + 1u;
    }

    check(device.rxBuffer.size() <= 64 * 1024);
    check(!device.rxBuffer.contains('\n') && !device.rxBuffer.contains('\r'));
    check(device.transferOffset >= 0);
    check(device.transferOffset <= device.transferData.size() + device.transferChunkSize);
    check(device.calibrationState == -1 || device.upgradeState == -1);
    return 0;
}

#include "instrumentidentity.h"

#include "device-serial.h"
#include "uuids.h"
#include "versiontext.h"

#include <QCoreApplication>

namespace {

constexpr int revisionSize = 16;

} // namespace

InstrumentIdentity InstrumentIdentity::of(const Device &device)
{
    return {device.vendor,
            device.model,
            device.serialNumber,
            device.version,
            device.compat.left(revisionSize),
            device.bootstrap};
}

bool InstrumentIdentity::isValid() const
{
    const QLatin1String expectedModel
        = bootLoader ? QLatin1String("ZURKD550-BS") : QLatin1String("ZURKD550");
    return vendor == QLatin1String("MORVA") && model == expectedModel
        && !serialNumber.trimmed().isEmpty() && rimeglass::VersionText::isWellFormed(version)
        && revision.size() == revisionSize;
}

QString InstrumentIdentity::revisionName(const QByteArray &revision)
{
    const QString known = rimeglass::knownRevisionName(revision);
    if (!known.isEmpty())
        return known;
    return QCoreApplication::translate("InstrumentIdentity", "an unknown revision (%1)")
        .arg(revision.size() == revisionSize ? rimeglass::uuidText(revision)
                                             : QString::fromLatin1(revision.toHex()));
}

bool InstrumentIdentity::operator==(const InstrumentIdentity &other) const
{
    return vendor == other.vendor && model == other.model && serialNumber == other.serialNumber
        && version == other.version && revision == other.revision && bootLoader == other.bootLoader;
}

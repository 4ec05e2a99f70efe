#include "statefile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const char settingsKey[] = "settings";
const char adcOffsetKey[] = "adc-offset";
const char adcSlopeKey[] = "adc-slope";
const char tableKey[] = "calibration-table";

bool readInt32(const QJsonObject &root, const char *key, qint32 &target)
{
    if (!root.contains(QLatin1String(key)))
        return true;
    const QJsonValue value = root.value(QLatin1String(key));
    const double number = value.toDouble(0.5);
    if (!value.isDouble() || number != double(qint64(number)) || number < -2147483648.0
        || number > 2147483647.0)
        return false;
    target = qint32(number);
    return true;
}

bool isHexText(const QString &text)
{
    if (text.size() % 2 != 0)
        return false;
    for (const QChar c : text) {
        if (!c.isDigit() && !(c >= QLatin1Char('a') && c <= QLatin1Char('f'))
            && !(c >= QLatin1Char('A') && c <= QLatin1Char('F')))
            return false;
    }
    return true;
}

} // namespace

StateFile::StateFile(const QString &path)
    : m_path(path)
{ }

bool StateFile::exists() const
{
    return QFileInfo::exists(m_path);
}

bool StateFile::read(InstrumentSettings &settings, QByteArray &calibrationTable,
                     QString *error) const
{
    const auto fail = [&](const QString &problem) {
        if (error)
            *error = QStringLiteral("state file %1: %2").arg(m_path, problem);
        return false;
    };

    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(parseError.errorString());
    if (!document.isObject())
        return fail(QStringLiteral("not a JSON object"));
    const QJsonObject root = document.object();

    InstrumentSettings loaded = settings;
    const QJsonObject stored = root.value(QLatin1String(settingsKey)).toObject();
    for (auto it = stored.begin(); it != stored.end(); ++it) {
        if (!it.value().isString())
            return fail(QStringLiteral("the value of \"%1\" is not a string").arg(it.key()));
        const auto result = loaded.assign(it.key().toUtf8(), it.value().toString().toUtf8());
        if (result == InstrumentSettings::Result::UnknownKey)
            return fail(QStringLiteral("unknown setting \"%1\"").arg(it.key()));
        if (result != InstrumentSettings::Result::Accepted)
            return fail(QStringLiteral("bad value for \"%1\"").arg(it.key()));
    }
    if (!readInt32(root, adcOffsetKey, loaded.adcOffset))
        return fail(QStringLiteral("\"%1\" is not a 32-bit integer").arg(adcOffsetKey));
    if (!readInt32(root, adcSlopeKey, loaded.adcSlope))
        return fail(QStringLiteral("\"%1\" is not a 32-bit integer").arg(adcSlopeKey));

    QByteArray table = calibrationTable;
    if (root.contains(QLatin1String(tableKey))) {
        const QString hex = root.value(QLatin1String(tableKey)).toString();
        if (!isHexText(hex))
            return fail(QStringLiteral("\"%1\" is not hexadecimal text").arg(tableKey));
        table = QByteArray::fromHex(hex.toLatin1());
    }

    settings = loaded;
    calibrationTable = table;
    return true;
}

bool StateFile::write(const InstrumentSettings &settings, const QByteArray &calibrationTable,
                      QString *error) const
{
    QJsonObject stored;
    for (const QByteArray &key : InstrumentSettings::keys())
        stored.insert(QString::fromLatin1(key), QString::fromLatin1(settings.value(key)));
    QJsonObject root;
    root.insert(QLatin1String(settingsKey), stored);
    root.insert(QLatin1String(adcOffsetKey), settings.adcOffset);
    root.insert(QLatin1String(adcSlopeKey), settings.adcSlope);
    root.insert(QLatin1String(tableKey), QString::fromLatin1(calibrationTable.toHex()));

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson()) < 0
        || !file.commit()) {
        if (error)
            *error = QStringLiteral("state file %1: %2").arg(m_path, file.errorString());
        return false;
    }
    return true;
}

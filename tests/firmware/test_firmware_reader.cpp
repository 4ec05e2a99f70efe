// The firmware container reader against containers made by an independent Ed25519
// implementation (vectors/make-vectors.py), and against damaged files.

#include "firmware.h"
#include "firmwarevectors.h"
#include "testmain.h"
#include "uuids.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <memory>
#include <sodium.h>

using rimeglass::test::expectedVectors;
using rimeglass::test::readVector;
using rimeglass::test::sha256Hex;

namespace {

// Collects the text of every debug message while it lives.
class MessageLog
{
public:
    MessageLog()
    {
        lines().clear();
        previous = qInstallMessageHandler(&MessageLog::collect);
    }
    ~MessageLog() { qInstallMessageHandler(previous); }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    static QStringList &lines()
    {
        static QStringList collected;
        return collected;
    }

private:
    static void collect(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        lines().append(message);
    }

    QtMessageHandler previous;
};

struct Reading
{
    std::unique_ptr<Firmware> firmware;
    QStringList log;
};

Reading readContainer(const QByteArray &fileData, const QByteArray &compat)
{
    MessageLog log;
    Reading reading;
    reading.firmware.reset(Firmware::fromFileData(fileData, compat));
    reading.log = MessageLog::lines();
    return reading;
}

// How the debug stream writes a byte array, quotes and escapes included.
QString debugText(const QByteArray &bytes)
{
    QString text;
    QDebug(&text).nospace() << bytes;
    return text;
}

QStringList expectedLog(const QJsonObject &testCase, const QByteArray &compat)
{
    const QString kind = testCase.value(QStringLiteral("log")).toString();
    if (kind == QLatin1String("format1"))
        return {QStringLiteral("Firmware image format version 1 is not supported by this program")};
    if (kind == QLatin1String("revision1"))
        return {QStringLiteral("Found firmware image for device revision 1")};
    if (kind == QLatin1String("revision2"))
        return {QStringLiteral("Found firmware image for device revision 2")};
    if (kind == QLatin1String("unknown-revision"))
        return {QStringLiteral("Found firmware image for device with unknown revision")};
    if (kind == QLatin1String("no-image"))
        return {QStringLiteral("Can't find compatible firmware image, comapt: ")
                + debugText(compat)};
    if (kind == QLatin1String("malformed"))
        return {QStringLiteral("Firmware container has a malformed image record at offset %1")
                    .arg(testCase.value(QStringLiteral("badRecordOffset")).toInt())};
    return {};
}

} // namespace

class TestFirmwareReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void knownAnswers_data();
    void knownAnswers();
    void everyChangedByteIsRefusedSilently();
    void shortFilesAreRefusedSilently_data();
    void shortFilesAreRefusedSilently();
};

void TestFirmwareReader::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
}

void TestFirmwareReader::knownAnswers_data()
{
    QTest::addColumn<QJsonObject>("testCase");
    const QJsonArray cases = expectedVectors().value(QStringLiteral("cases")).toArray();
    QVERIFY(!cases.isEmpty());
    for (const QJsonValue &value : cases) {
        const QJsonObject testCase = value.toObject();
        const QString name = testCase.value(QStringLiteral("file")).toString()
            + QLatin1String(" for ")
            + (testCase.value(QStringLiteral("compat")).toString().isEmpty()
                   ? QStringLiteral("empty identifier")
                   : testCase.value(QStringLiteral("compat")).toString());
        QTest::newRow(qPrintable(name)) << testCase;
    }
}

void TestFirmwareReader::knownAnswers()
{
    QFETCH(QJsonObject, testCase);
    const QByteArray compat
        = QByteArray::fromHex(testCase.value(QStringLiteral("compat")).toString().toLatin1());
    const bool valid = testCase.value(QStringLiteral("valid")).toBool();

    const Reading reading
        = readContainer(readVector(testCase.value(QStringLiteral("file")).toString()), compat);

    QVERIFY(dynamic_cast<FirmwareImpl *>(reading.firmware.get()));
    QCOMPARE(reading.firmware->valid(), valid);
    QCOMPARE(reading.firmware->version(), testCase.value(QStringLiteral("version")).toString());
    QCOMPARE(reading.firmware->vendor(), testCase.value(QStringLiteral("vendor")).toString());
    QCOMPARE(reading.firmware->model(), testCase.value(QStringLiteral("model")).toString());
    const QByteArray blob = reading.firmware->blob();
    QCOMPARE(blob.size(), testCase.value(QStringLiteral("blobSize")).toInt());
    if (valid)
        QCOMPARE(sha256Hex(blob),
                 testCase.value(QStringLiteral("blobSha256")).toString().toLatin1());
    QCOMPARE(reading.log, expectedLog(testCase, compat));
}

void TestFirmwareReader::everyChangedByteIsRefusedSilently()
{
    const QByteArray good = readVector(QStringLiteral("two-revisions.crp"));
    QVERIFY(readContainer(good, rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1))
                .firmware->valid());
    for (int i = 0; i < good.size(); ++i) {
        QByteArray damaged = good;
        damaged[i] = char(damaged.at(i) ^ (1 << (i % 8)));
        const Reading reading
            = readContainer(damaged, rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1));
        QVERIFY2(!reading.firmware->valid(), qPrintable(QStringLiteral("byte %1").arg(i)));
        QVERIFY2(reading.firmware->blob().isEmpty(), qPrintable(QStringLiteral("byte %1").arg(i)));
        QCOMPARE(reading.log, QStringList());
    }
}

void TestFirmwareReader::shortFilesAreRefusedSilently_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("63 bytes") << 63;
    QTest::newRow("signature alone") << 64;
    QTest::newRow("one byte cut off") << 759;
}

void TestFirmwareReader::shortFilesAreRefusedSilently()
{
    QFETCH(int, size);
    const QByteArray good = readVector(QStringLiteral("two-revisions.crp"));
    QVERIFY(size < good.size());

    const Reading reading = readContainer(
        good.left(size), rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1));

    QVERIFY(!reading.firmware->valid());
    QVERIFY(reading.firmware->version().isEmpty());
    QVERIFY(reading.firmware->blob().isEmpty());
    QCOMPARE(reading.log, QStringList());
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestFirmwareReader)
#include "test_firmware_reader.moc"

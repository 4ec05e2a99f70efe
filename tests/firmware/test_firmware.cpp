// Firmware containers: the reader and rimeglass-crp against the known-answer containers
// that vectors/make-vectors.py wrote with an independent Ed25519 implementation (listed
// in its expected.json), against damaged files, and the tool's refusals and reports.

#include "firmware.h"
#include "testmain.h"
#include "uuids.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <memory>
#include <sodium.h>

namespace {

inline QString vectorPath(const QString &name)
{
    return QStringLiteral(RIMEGLASS_FIRMWARE_VECTORS "/") + name;
}

inline QByteArray readVector(const QString &name)
{
    QFile file(vectorPath(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read test vector %s", qPrintable(file.fileName()));
    return file.readAll();
}

inline QJsonObject expectedVectors()
{
    return QJsonDocument::fromJson(readVector(QStringLiteral("expected.json"))).object();
}

inline QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

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

const QString developmentSeed = QStringLiteral(RIMEGLASS_DEVELOPMENT_SEED);
const QString revision1Text = QStringLiteral("3cc3a93f-4261-45ff-95bf-653df2686cb0");
const QString revision2Text = QStringLiteral("21de3ef2-09bf-4a78-83a0-9eb750df2e57");

struct Run
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

Run runTool(const QStringList &arguments, const QString &directory = QString())
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(QStringLiteral(RIMEGLASS_CRP), arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    if (run.out.constLast().isEmpty())
        run.out.removeLast();
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// The arguments that pack the reference container, from expected.json.
QStringList referencePackArguments(const QString &output)
{
    const QJsonObject pack = expectedVectors().value(QStringLiteral("pack")).toObject();
    QStringList arguments{QStringLiteral("pack"),
                          QStringLiteral("--seed"),
                          developmentSeed,
                          QStringLiteral("--version"),
                          pack.value(QStringLiteral("version")).toString(),
                          QStringLiteral("--vendor"),
                          pack.value(QStringLiteral("vendor")).toString(),
                          QStringLiteral("--model"),
                          pack.value(QStringLiteral("model")).toString()};
    for (const QJsonValue &image : pack.value(QStringLiteral("images")).toArray()) {
        const QJsonArray pair = image.toArray();
        arguments << QStringLiteral("--image")
                  << pair.at(0).toString() + QLatin1Char('=') + vectorPath(pair.at(1).toString());
    }
    return arguments << QStringLiteral("-o") << output;
}

QString recordLine(int index, const QString &name, const QString &uuid, const QString &image)
{
    const QByteArray data = readVector(image);
    return QStringLiteral("record %1: %2 %3, %4 bytes, sha256 %5")
        .arg(index)
        .arg(name, uuid)
        .arg(data.size())
        .arg(QString::fromLatin1(sha256Hex(data)));
}

QStringList twoRevisionsReport()
{
    return {
        QStringLiteral("signature: good"),
        QStringLiteral("format: 2"),
        QStringLiteral("version: 1.5.0.0"),
        QStringLiteral("vendor: MORVA"),
        QStringLiteral("model: ZURKD550"),
        recordLine(1, QStringLiteral("revision 1"), revision1Text, QStringLiteral("image-r1.bin")),
        recordLine(2, QStringLiteral("revision 2"), revision2Text, QStringLiteral("image-r2.bin"))};
}

} // namespace

class TestFirmware : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void knownAnswers_data();
    void knownAnswers();
    void damagedFilesAreRefusedSilently();
    void packMatchesIndependentContainer();
    void packRefuses_data();
    void packRefuses();
    void inspect_data();
    void inspect();

private:
    QTemporaryDir directory;
};

void TestFirmware::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    QVERIFY(directory.isValid());
}

void TestFirmware::knownAnswers_data()
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

void TestFirmware::knownAnswers()
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

void TestFirmware::damagedFilesAreRefusedSilently()
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
    // Cut short anywhere: empty, a byte, less than a signature, a signature alone, one
    // byte missing.
    for (const int size : {0, 1, 63, 64, int(good.size()) - 1}) {
        const Reading reading = readContainer(
            good.left(size), rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1));
        QVERIFY(!reading.firmware->valid());
        QVERIFY(reading.firmware->version().isEmpty());
        QVERIFY(reading.firmware->blob().isEmpty());
        QCOMPARE(reading.log, QStringList());
    }
}

void TestFirmware::packMatchesIndependentContainer()
{
    const QString output = directory.filePath(QStringLiteral("reference.crp"));
    const Run run = runTool(referencePackArguments(output));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.out, QStringList{output + QStringLiteral(": 2 image(s), 760 bytes")});

    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString reference = expectedVectors()
                                  .value(QStringLiteral("pack"))
                                  .toObject()
                                  .value(QStringLiteral("output"))
                                  .toString();
    QCOMPARE(file.readAll(), readVector(reference));
}

void TestFirmware::packRefuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    const QString image = QStringLiteral("r1=") + vectorPath(QStringLiteral("image-r1.bin"));
    const QStringList texts{QStringLiteral("--version"), QStringLiteral("1.5"),
                            QStringLiteral("--vendor"),  QStringLiteral("MORVA"),
                            QStringLiteral("--model"),   QStringLiteral("ZURKD550")};
    const QStringList seed{QStringLiteral("--seed"), developmentSeed};
    const QStringList oneImage{QStringLiteral("--image"), image};
    const QString tooLong = QStringLiteral("123456789012345678901234567890123");

    QTest::newRow("missing seed file")
        << QStringList{"--seed", directory.filePath("absent.hex")} + texts + oneImage
        << "cannot read seed file \"" + directory.filePath("absent.hex") + "\"";
    QTest::newRow("unknown revision name")
        << seed + texts + QStringList{"--image", "r3=" + vectorPath("image-r1.bin")}
        << "\"r3\" is not a revision";
    QTest::newRow("revision given twice")
        << seed + texts + oneImage
            + QStringList{"--image", revision1Text + "=" + vectorPath("image-r2.bin")}
        << "revision 1 (" + revision1Text + ") is given more than once";
    QTest::newRow("version of 33 bytes")
        << seed + QStringList{"--version", tooLong, "--vendor", "v", "--model", "m"} + oneImage
        << "the version text \"" + tooLong + "\" is 33 bytes long in UTF-8; at most 32 fit";
    QTest::newRow("no seed") << texts + oneImage << "pack needs --seed";
}

void TestFirmware::packRefuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const QString output = directory.filePath(QStringLiteral("refused.crp"));

    const Run run = runTool(QStringList{QStringLiteral("pack")} + arguments
                            + QStringList{QStringLiteral("-o"), output});

    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.startsWith(QLatin1String("rimeglass-crp: ")), qPrintable(run.err));
    QVERIFY2(run.err.contains(error), qPrintable(run.err));
    QCOMPARE(run.out, QStringList());
    QVERIFY(!QFile::exists(output));
}

void TestFirmware::inspect_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("report");

    const QStringList good = twoRevisionsReport();
    const QStringList texts = good.mid(0, 5);
    QTest::newRow("revision 2 selected")
        << QStringList{"two-revisions.crp", "--compat", "r2"} << 0
        << good + QStringList{"selected for " + revision2Text + ": record 2"};
    QTest::newRow("other key")
        << QStringList{"other-key.crp", "--compat", "r1"} << 1
        << QStringList{"signature: bad (not signed with the key of this build, "
                       "4097b10a1999ba74bd2b481d1c10a846ee0a7a2ea2b16ee6b74488c89364a520)",
                       "selected for " + revision1Text + ": none"};
    QTest::newRow("record that does not advance")
        << QStringList{"zero-advance.crp", "--compat", "r2"} << 1
        << texts
            + QStringList{recordLine(1, "revision 2", revision2Text, "image-r2.bin"),
                          "record 2: malformed, at message offset 368",
                          "selected for " + revision2Text + ": none"};
}

void TestFirmware::inspect()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, report);
    arguments[0] = vectorPath(arguments.at(0));

    const Run run = runTool(QStringList{"inspect"} + arguments);

    QCOMPARE(run.out, report);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, exitCode);
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestFirmware)
#include "test_firmware.moc"

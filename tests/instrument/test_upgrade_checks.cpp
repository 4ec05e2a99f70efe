// What the upgrade flow decides and says before and after a transfer: the picked file as
// read, the version comparison behind the question, and the words for a failed transfer.

#include "firmwareversion.h"
#include "inputfile.h"
#include "testmain.h"
#include "transferreport.h"

#include <QCoreApplication>
#include <QTemporaryDir>

class TestUpgradeChecks : public QObject
{
    Q_OBJECT

private slots:
    void pickedFile_data();
    void pickedFile();
    void question_data();
    void question();
    void failureText_data();
    void failureText();
};

// Files beyond the limit, or that never end, are not read at all.
void TestUpgradeChecks::pickedFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("expected");

    QTest::newRow("whole file") << "file" << 999 << 999;
    QTest::newRow("exactly the limit") << "file" << 1000 << 1000;
    QTest::newRow("one byte beyond") << "file" << 1001 << 0;
    QTest::newRow("a device that never ends") << "/dev/zero" << 0 << 0;
    QTest::newRow("missing") << "absent" << 0 << 0;
}

void TestUpgradeChecks::pickedFile()
{
    QFETCH(QString, path);
    QFETCH(int, size);
    QFETCH(int, expected);
    QTemporaryDir directory;
    if (path == QLatin1String("file")) {
        path = directory.filePath(path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(size, 'x')) == size);
    } else if (!path.startsWith('/')) {
        path = directory.filePath(path);
    }
    QCOMPARE(InputFile::read(path, 1000), QByteArray(expected, 'x'));
}

void TestUpgradeChecks::question_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("text");

    QTest::newRow("padded with zeros") << "1.7"
                                       << "1.7.0"
                                       << "Upgrade firmware from version 1.7 to version 1.7.0?";
    QTest::newRow("compared as numbers") << "1.10"
                                         << "1.9"
                                         << "Downgrade firmware from version 1.10 to version 1.9?";
    QTest::newRow("decimal, not another base")
        << "1.10"
        << "1.11"
        << "Upgrade firmware from version 1.10 to version 1.11?";
    QTest::newRow("older") << "1.7.2"
                           << "1.6"
                           << "Downgrade firmware from version 1.7.2 to version 1.6?";
    QTest::newRow("empty installed version") << ""
                                             << "0.0.1"
                                             << "Upgrade firmware from version  to version 0.0.1?";
    QTest::newRow("a letter counts 0") << "1.x"
                                       << "1.0"
                                       << "Upgrade firmware from version 1.x to version 1.0?";
    QTest::newRow("a letter against a number")
        << "1.1"
        << "1.a"
        << "Downgrade firmware from version 1.1 to version 1.a?";
}

void TestUpgradeChecks::question()
{
    QFETCH(QString, installed);
    QFETCH(QString, offered);
    QFETCH(QString, text);
    QCOMPARE(FirmwareVersion::upgradeQuestion(installed, offered), text);
}

void TestUpgradeChecks::failureText_data()
{
    using Failure = Device::TransferFailure;
    QTest::addColumn<bool>("firmware");
    QTest::addColumn<Device::TransferFailure>("failure");
    QTest::addColumn<bool>("erased");
    QTest::addColumn<QByteArray>("imageRevision");
    QTest::addColumn<QString>("text");

    const QByteArray r1 = QByteArray::fromHex("3cc3a93f426145ff95bf653df2686cb0");
    const QByteArray other = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    QTest::newRow("no boot loader after the reset")
        << true << Failure::TimedOut << false << r1
        << "The instrument did not come back in its boot loader after the reset. Nothing was "
           "erased. The instrument may be waiting in its boot loader: open the port again and "
           "run the upgrade again.";
    QTest::newRow("unknown revision named by its UUID")
        << true << Failure::RevisionMismatch << false << other
        << "The boot loader reports hardware revision 1, but the image was chosen for hardware "
           "an unknown revision (00112233-4455-6677-8899-aabbccddeeff). Nothing was erased. The "
           "instrument may be waiting in its boot loader: open the port again and run the "
           "upgrade again.";
    QTest::newRow("port closed during the upload")
        << false << Failure::PortClosed << true << QByteArray()
        << "The port was closed during the upload. 592 of 592 bytes were written. The custom "
           "table was erased; upload it again.";
}

void TestUpgradeChecks::failureText()
{
    QFETCH(bool, firmware);
    QFETCH(Device::TransferFailure, failure);
    QFETCH(bool, erased);
    QFETCH(QByteArray, imageRevision);
    QFETCH(QString, text);

    Device::TransferFailureReport report;
    report.transfer = firmware ? Device::Transfer::Firmware : Device::Transfer::Calibration;
    report.failure = failure;
    report.erased = erased;
    report.offset = 624;
    report.total = 592;
    report.imageRevision = imageRevision;
    report.reportedRevision = QByteArray::fromHex("3cc3a93f426145ff95bf653df2686cb0");
    QCOMPARE(TransferReport::failureText(report), text);
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestUpgradeChecks)
#include "test_upgrade_checks.moc"

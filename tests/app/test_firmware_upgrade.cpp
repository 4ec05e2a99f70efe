// The firmware upgrade from the window: the file dialog, the container check against
// the instrument's revision, the question, and the whole boot-loader transfer at the
// wire, with containers packed and signed here with the development seed.

#include "containerpacker.h"
#include "developmentseed.h"
#include "pseudoterminal.h"
#include "scriptedinstrument.h"
#include "signingkeys.h"
#include "testmain.h"
#include "uuids.h"
#include "windowdriver.h"
#include "wirebytes.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <sodium.h>

using namespace windowdriver;
using namespace wirebytes;

namespace {

QByteArray revision(const rimeglass::Uuid &uuid)
{
    return QByteArray(reinterpret_cast<const char *>(uuid), 16);
}

QByteArray patterned(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed) & 0xff);
    return bytes;
}

// What the transfer put on the wire, without the settings read-back that follows each
// identification of the application firmware.
QList<QByteArray> withoutReadBack(const QList<QByteArray> &commands)
{
    static const QRegularExpression query(QStringLiteral("^:[a-z0-9:]+\\?\n$"));
    QList<QByteArray> kept;
    for (const QByteArray &command : commands) {
        if (!query.match(QString::fromLatin1(command)).hasMatch())
            kept << command;
    }
    return kept;
}

const QByteArray revision1Image = patterned(1000, 7);
const QByteArray revision2Image = patterned(333, 99);

} // namespace

class TestFirmwareUpgrade : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void upgradeFromApplication_data();
    void upgradeFromApplication();
    void upgradeFromBootLoader();
    void imageForRevision2();
    void answerNoSendsNothing();
    void invalidFiles_data();
    void invalidFiles();
    void cancelledDialog();
    void refusedWhileCalibrationUploads();

private:
    QString writeContainer(const QString &version,
                           const QList<QPair<QByteArray, QByteArray>> &images);

    QByteArray seed;
    QTemporaryDir files;
    MainWindow *window = nullptr;
    PseudoTerminal *peer = nullptr;
    ScriptedInstrument *instrument = nullptr;
    void openWindow(const QByteArray &installedVersion, bool inBootLoader = false);
};

void TestFirmwareUpgrade::initTestCase()
{
    seed = developmentseed::load();
    QVERIFY(!seed.isEmpty());
    if (!developmentseed::trustedByThisBuild(seed))
        QSKIP("this build trusts another key than the development one");
}

void TestFirmwareUpgrade::init()
{
    QSettings().clear();
}

void TestFirmwareUpgrade::cleanup()
{
    cancelPendingAnswers();
    delete window;
    delete peer;
    delete instrument;
    window = nullptr;
    peer = nullptr;
    instrument = nullptr;
}

void TestFirmwareUpgrade::openWindow(const QByteArray &installedVersion, bool inBootLoader)
{
    window = new MainWindow;
    peer = new PseudoTerminal;
    instrument = new ScriptedInstrument;
    instrument->applicationVersion = installedVersion;
    instrument->bootLoaderVersion = "1.4";
    instrument->inBootLoader = inBootLoader;
    peer->setResponder([this](const QByteArray &token) { return instrument->respond(token); });
    openOn(*window, *peer);
    instrument->commands.clear();
}

QString TestFirmwareUpgrade::writeContainer(const QString &version,
                                            const QList<QPair<QByteArray, QByteArray>> &images)
{
    ContainerPacker packer;
    packer.setVersion(version);
    packer.setVendor(QStringLiteral("MORVA"));
    packer.setModel(QStringLiteral("ZURKD550"));
    for (const auto &image : images)
        packer.addImage(image.first, image.second);
    const QString path = files.filePath(QStringLiteral("firmware-%1.crp").arg(version));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(packer.pack(seed)) < 0)
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestFirmwareUpgrade::upgradeFromApplication_data()
{
    QTest::addColumn<QByteArray>("bootLoaderVersion");
    QTest::addColumn<QList<QByteArray>>("start");

    QTest::newRow("text dialect") << QByteArray(
        "1.3.2") << QList<QByteArray>{":system:reset\n", "\x03", "*IDN?\n", "flash erase\n"};
    QTest::newRow("short-code dialect")
        << QByteArray("1.4")
        << QList<QByteArray>{":system:reset\n", "\x03", "*IDN?\n", "@00\n", "@02\n"};
}

void TestFirmwareUpgrade::upgradeFromApplication()
{
    QFETCH(QByteArray, bootLoaderVersion);
    QFETCH(QList<QByteArray>, start);

    openWindow("1.7");
    instrument->bootLoaderVersion = bootLoaderVersion;
    QCOMPARE(text(*window, "versionValue"), QStringLiteral("1.7"));
    const QString path
        = writeContainer(QStringLiteral("1.8"),
                         {{revision(rimeglass::uuid_compat_stm32g071kb_r1), revision1Image},
                          {revision(rimeglass::uuid_compat_stm32g070kb_r2), revision2Image}});
    // The new firmware reports its own version once it runs.
    instrument->applicationVersion = "1.8";

    const auto dialog = answerNextFileDialog(path);
    const auto question = answerNextMessageBox(QMessageBox::Yes);
    click(*window, "upgradeButton");
    peer->settle(toolPort(*window));

    QVERIFY(dialog->shown);
    QCOMPARE(dialog->nameFilters, QStringList{"Firmware files (*.crp)"});
    QVERIFY(question->shown);
    QCOMPARE(question->icon, QMessageBox::Question);
    QCOMPARE(question->title, QStringLiteral("Firmware upgrade"));
    QCOMPARE(question->text, QStringLiteral("Upgrade firmware from version 1.7 to version 1.8?"));
    QCOMPARE(question->informativeText,
             QStringLiteral("This build accepts containers signed with the published "
                            "development seed."));
    QCOMPARE(question->buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(question->defaultButton, QMessageBox::Yes);

    const QList<QByteArray> commands = withoutReadBack(instrument->commands);
    const QByteArray flashed = paddedWithFill(revision1Image);
    const int writes = (flashed.size() + 111) / 112;
    QCOMPARE(commands.mid(0, start.size()), start);
    QCOMPARE(reassembleFlashWrites(commands), flashed);
    // After the last write: boot, then the new firmware is asked who it is.
    QCOMPARE(commands.mid(start.size() + writes),
             (QList<QByteArray>{"boot\n", "*IDN?\n", "@00\n"}));
    QCOMPARE(commands.size(), start.size() + writes + 3);

    QCOMPARE(text(*window, "versionValue"), QStringLiteral("1.8"));
    QCOMPARE(text(*window, "modelValue"), QStringLiteral("ZURKD550"));
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 100);
    QCOMPARE(QSettings().value("/ui/firmware-upgrade-last-path").toString(), files.path());
}

void TestFirmwareUpgrade::upgradeFromBootLoader()
{
    openWindow("1.7", true);
    QCOMPARE(text(*window, "modelValue"), QStringLiteral("ZURKD550-BS"));
    const QString path
        = writeContainer(QStringLiteral("1.7.1"),
                         {{revision(rimeglass::uuid_compat_stm32g071kb_r1), revision1Image}});

    answerNextFileDialog(path);
    const auto question = answerNextMessageBox(QMessageBox::Yes);
    click(*window, "upgradeButton");
    peer->settle(toolPort(*window));

    // The installed version is the boot loader's.
    QCOMPARE(question->text, QStringLiteral("Upgrade firmware from version 1.4 to version 1.7.1?"));
    const QList<QByteArray> commands = withoutReadBack(instrument->commands);
    QCOMPARE(commands.first(), QByteArray("@02\n"));
    QCOMPARE(reassembleFlashWrites(commands), paddedWithFill(revision1Image));
    QVERIFY(!commands.contains(":system:reset\n"));
    QCOMPARE(text(*window, "modelValue"), QStringLiteral("ZURKD550"));
}

void TestFirmwareUpgrade::imageForRevision2()
{
    openWindow("1.7");
    // The instrument reported revision 2 when it was identified.
    instrument->compatHex = "21de3ef209bf4a7883a09eb750df2e57";
    peer->sendLine("*COMPAT = 21de3ef209bf4a7883a09eb750df2e57");
    peer->settle(toolPort(*window));
    instrument->commands.clear();
    const QString path
        = writeContainer(QStringLiteral("1.8"),
                         {{revision(rimeglass::uuid_compat_stm32g071kb_r1), revision1Image},
                          {revision(rimeglass::uuid_compat_stm32g070kb_r2), revision2Image}});

    answerNextFileDialog(path);
    answerNextMessageBox(QMessageBox::Yes);
    click(*window, "upgradeButton");
    peer->settle(toolPort(*window));
    QCOMPARE(reassembleFlashWrites(instrument->commands), paddedWithFill(revision2Image));
}

void TestFirmwareUpgrade::answerNoSendsNothing()
{
    openWindow("1.7");
    answerNextFileDialog(
        writeContainer(QStringLiteral("1.8"),
                       {{revision(rimeglass::uuid_compat_stm32g071kb_r1), revision1Image}}));
    const auto question = answerNextMessageBox(QMessageBox::No);
    click(*window, "upgradeButton");
    QVERIFY(question->shown);
    QCOMPARE(peer->collect(toolPort(*window)), QByteArray());
    QCOMPARE(liveDevice(*window)->upgradeState, -1);
}

void TestFirmwareUpgrade::invalidFiles_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    const QString invalid = QStringLiteral("Invalid or unsupported firmware file");
    QTest::newRow("not a container") << 0 << invalid;
    QTest::newRow("container for another revision") << 1 << invalid;
    QTest::newRow("a byte changed") << 2 << invalid;
    QTest::newRow("empty file") << 3 << invalid;
    QTest::newRow("empty image") << 4
                                 << "The firmware file holds an empty image for this instrument";
}

void TestFirmwareUpgrade::invalidFiles()
{
    QFETCH(int, kind);
    QFETCH(QString, message);

    openWindow("1.7");
    QString path = writeContainer(QStringLiteral("1.8"),
                                  {{revision(kind == 1 ? rimeglass::uuid_compat_stm32g070kb_r2
                                                       : rimeglass::uuid_compat_stm32g071kb_r1),
                                    kind == 4 ? QByteArray() : revision1Image}});
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray contents = file.readAll();
    if (kind == 0)
        contents = "firmware? no, a shopping list\n";
    else if (kind == 2)
        contents[200] = char(contents.at(200) ^ 0x10);
    else if (kind == 3)
        contents.clear();
    file.resize(0);
    file.seek(0);
    file.write(contents);
    file.close();

    answerNextFileDialog(path);
    const auto box = answerNextMessageBox(QMessageBox::Ok);
    click(*window, "upgradeButton");

    QVERIFY(box->shown);
    QCOMPARE(box->icon, QMessageBox::Critical);
    QCOMPARE(box->title, QStringLiteral("Firmware upgrade"));
    QCOMPARE(box->text, message);
    QCOMPARE(box->buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box->defaultButton, QMessageBox::Ok);
    QCOMPARE(peer->collect(toolPort(*window)), QByteArray());
    // The directory is remembered even though the file proved invalid.
    QCOMPARE(QSettings().value("/ui/firmware-upgrade-last-path").toString(), files.path());
}

void TestFirmwareUpgrade::cancelledDialog()
{
    openWindow("1.7");
    QSettings().setValue("/ui/firmware-upgrade-last-path", files.path());
    const auto dialog = answerNextFileDialog(QString());
    const auto box = answerNextMessageBox(QMessageBox::Yes);
    click(*window, "upgradeButton");

    QVERIFY(dialog->shown);
    QCOMPARE(dialog->startDirectory, files.path());
    QVERIFY(!box->shown);
    QCOMPARE(QSettings().value("/ui/firmware-upgrade-last-path").toString(), files.path());
    QCOMPARE(peer->collect(toolPort(*window)), QByteArray());
}

void TestFirmwareUpgrade::refusedWhileCalibrationUploads()
{
    openWindow("1.7");
    // A calibration upload has begun and waits for the instrument.
    peer->setResponder({});
    QVERIFY(liveDevice(*window)->uploadCalibration(QByteArray(48, 'c')));
    QCOMPARE(peer->collect(toolPort(*window)), QByteArray(":cal:erase\n"));

    answerNextFileDialog(
        writeContainer(QStringLiteral("1.8"),
                       {{revision(rimeglass::uuid_compat_stm32g071kb_r1), revision1Image}}));
    const auto question = answerNextMessageBox(QMessageBox::Yes);
    click(*window, "upgradeButton");

    QVERIFY(question->shown);
    QCOMPARE(statusText(*window), QStringLiteral("Another transfer is in progress"));
    QCOMPARE(peer->collect(toolPort(*window)), QByteArray());
    QCOMPARE(liveDevice(*window)->upgradeState, -1);
}

RIMEGLASS_TEST_MAIN(QApplication, TestFirmwareUpgrade)
#include "test_firmware_upgrade.moc"

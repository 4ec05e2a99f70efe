// The settings store's repair: an entry whose value the toolkit would decode into a
// serialised value is dropped, however it is spelt; every other byte stays.

#include "settingsstorerepair.h"
#include "testmain.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void repair_data();
    void repair();
    void storeEndingInAnEscape();
};

// Each row: an entry on a line between two good ones, and what is left of that line after
// the repair.
void TestSettingsStore::repair_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QByteArray>("left");

    const QByteArray variant("@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)");
    const QByteArray tail = variant.mid(1);
    QTest::newRow("literal") << "sensor-id=" + variant << QByteArray();
    QTest::newRow("quoted") << "sensor-id=\"" + variant + "\"" << QByteArray();
    QTest::newRow("hexadecimal escape") << "sensor-id=\\x40" + tail << QByteArray();
    QTest::newRow("octal escape") << "sensor-id=\\100" + tail << QByteArray();
    QTest::newRow("continued on the next line") << "sensor-id=\\\n" + variant << QByteArray();
    QTest::newRow("element of a list") << "sensor-id=1, " + variant << QByteArray();
    QTest::newRow("blanks before") << "sensor-id = \t" + variant << QByteArray();
    QTest::newRow("date and time") << "sensor-id=@DateTime" + variant.mid(8) << QByteArray();
    QTest::newRow("before a comment")
        << "sensor-id=" + variant + ";note" << QByteArray(";note\r\n");
    for (const char *kept : {"custom-sensor-name=@@Custom", "custom-sensor-name=PT@4K",
                             "custom-sensor-name=a\\\n@b", "custom-sensor-name=\\\\@b",
                             "custom-sensor-file=\"/data/a, b.340\"", ";sensor-id=@Variant(x)"})
        QTest::newRow(kept) << QByteArray(kept) << QByteArray(kept) + "\r\n";
}

void TestSettingsStore::repair()
{
    QFETCH(QByteArray, entry);
    QFETCH(QByteArray, left);
    const QByteArray before("[General]\nrelay1-temperature=42\n");
    const QByteArray after("relay2-temperature=7\r\n");

    bool dropped = false;
    const QByteArray repaired
        = SettingsStoreRepair::withoutVariants(before + entry + "\r\n" + after, &dropped);
    QCOMPARE(repaired, before + left + after);
    QCOMPARE(dropped, left != entry + "\r\n");

    // The toolkit reads what is left as the window wrote it.
    QTemporaryDir directory;
    QFile file(directory.filePath(QStringLiteral("store.conf")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(repaired) == repaired.size());
    file.close();
    const QSettings store(file.fileName(), QSettings::IniFormat);
    QCOMPARE(store.value("relay1-temperature").toString(), QStringLiteral("42"));
    QCOMPARE(store.value("relay2-temperature").toString(), QStringLiteral("7"));
    QCOMPARE(store.allKeys().size(), dropped || entry.startsWith(';') ? 2 : 3);
}

// A store cut off within an escape (a crash or a full disk while writing) is left as it is.
void TestSettingsStore::storeEndingInAnEscape()
{
    for (const QByteArray &end : {QByteArray("\\"), QByteArray("\\\n")}) {
        const QByteArray cut("[General]\nrelay1-temperature=42\ncustom-sensor-name=a" + end);
        bool dropped = true;
        QCOMPARE(SettingsStoreRepair::withoutVariants(cut, &dropped), cut);
        QVERIFY(!dropped);
    }
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestSettingsStore)
#include "test_settings_store.moc"

#ifndef RIMEGLASS_SERIALPORTLINKS_H
#define RIMEGLASS_SERIALPORTLINKS_H

#include <QHash>
#include <QString>

// The stable names the system gives serial ports as links in one directory (on Linux
// /dev/serial/by-id, which names an adapter by maker, model and serial number), so that
// two adapters can be told apart whichever ttyUSB number they got this time.
class SerialPortLinks
{
public:
    explicit SerialPortLinks(const QString &directory = QStringLiteral("/dev/serial/by-id"));

    // The link in the directory that resolves to the port at systemLocation (such as
    // /dev/ttyUSB0), or an empty string when there is none.
    QString linkTo(const QString &systemLocation) const;

    // Operators type paths (a link, a pseudo-terminal); the system lists only names.
    static bool isPath(const QString &portName);
    // Whether the port is there now: a path exists, or the system lists the name.
    static bool isPresent(const QString &portName);

private:
    QHash<QString, QString> m_linkByTarget; // canonical target path, link path
};

#endif

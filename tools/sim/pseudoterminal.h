#ifndef RIMEGLASS_SIM_PSEUDOTERMINAL_H
#define RIMEGLASS_SIM_PSEUDOTERMINAL_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The instrument's end of a pseudo-terminal: the tool opens path() as its serial port.
// A descriptor of the tool's side stays open here too, so the port can be closed and
// opened again as often as the tool likes.
class PseudoTerminal : public QObject
{
    Q_OBJECT

public:
    explicit PseudoTerminal(QObject *parent = nullptr);
    ~PseudoTerminal() override;

    bool open(QString *error);
    bool isOpen() const { return m_master >= 0; }
    QString path() const { return m_path; }

    // Queues bytes for the tool; never blocks.
    void write(const QByteArray &bytes);
    // Bytes written that the tool has not read yet.
    int unreadByTool() const;

signals:
    void received(const QByteArray &bytes);
    void note(const QString &text);

private:
    void readAvailable();
    void writePending();
    void close();

    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_pending;
};

#endif

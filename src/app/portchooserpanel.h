#ifndef RIMEGLASS_PORTCHOOSERPANEL_H
#define RIMEGLASS_PORTCHOOSERPANEL_H

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class QAction;
class QComboBox;
class QPushButton;
class QSettings;
class QWidget;

// Text of one entry of the port list: the system name, followed by the non-empty ones
// of manufacturer, description and serial number in parentheses.
QString serialPortItemText(const QString &portName, const QString &manufacturer,
                           const QString &description, const QString &serialNumber);

// The serial port bar: the list of ports with Refresh, Open and Close (also in the Main
// menu, with their shortcuts; Enter in the port box opens), the port name remembered in
// the store (StoreKey::portName), and a lost port waited for. It opens nothing and looks
// for no port itself: it asks for a port to be opened or closed and is told how that went.
class PortChooserPanel : public QObject
{
    Q_OBJECT

public:
    PortChooserPanel(QWidget *form, QSettings *store);

    // Lists a port that the system does not report (the pseudo-terminal of a simulated
    // instrument) after the system's ports, at this and every later refresh, and selects
    // it.
    void addExtraPort(const QString &portName, const QString &description);
    // The chosen item's port, or what the operator typed when it is none of the items.
    QString portNameToOpen() const;
    bool isWaitingForPort() const { return !m_awaitedPortName.isEmpty(); }

public slots:
    // Lists the system's ports, then the extra ones, and selects the remembered one.
    void refresh();
    // Open and Close as the operator presses them.
    void open();
    void close();

    // `portName` is open (again): it is remembered, and the bar offers Close only.
    void showOpened(const QString &portName);
    // Why the port could not be opened, in the status bar and the port box's tooltip.
    void showOpenFailure(const QString &portName, const QString &reason);
    void showClosed();
    // The open port went away and is waited for: the bar keeps Close, and another port
    // may be chosen and opened.
    void showPortLost(const QString &portName);

signals:
    void openRequested(const QString &portName);
    // Close pressed, or another port chosen while a lost one was waited for: either
    // ends the wait.
    void closeRequested();
    void statusMessage(const QString &text, int timeoutMs);

private:
    void appendPortItem(const QString &portName, const QString &text, const QString &toolTip,
                        const QString &remembered);
    void setConnected(bool connected);
    void setCloseOffered(bool offered);
    void portChoiceChanged();

    QSettings *m_store;
    QComboBox *m_portCombo;
    QPushButton *m_openButton;
    QPushButton *m_closeButton;
    QAction *m_openAction;
    QAction *m_closeAction;
    QList<QPair<QString, QString>> m_extraPorts; // system name, description
    QString m_awaitedPortName; // a lost port waited for; empty when none
    bool m_connected = false;
    bool m_rebuildingPortList = false;
};

#endif

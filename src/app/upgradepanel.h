#ifndef RIMEGLASS_UPGRADEPANEL_H
#define RIMEGLASS_UPGRADEPANEL_H

#include "instrumentidentity.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QLineEdit;
class QPushButton;
class QSettings;
class QWidget;

// The Upgrade tab's instrument and its firmware upgrade: the model, version and serial
// number the instrument identified itself with, and "Upgrade firmware...", which picks
// a container, checks it against the instrument's hardware revision and asks before
// the upgrade starts.
class UpgradePanel : public QObject
{
    Q_OBJECT

public:
    UpgradePanel(QWidget *form, QSettings *store);

public slots:
    void upgrade();
    // The upgrade takes the identity's version and hardware revision.
    void showIdentity(const InstrumentIdentity &identity);
    // Nothing answers on a closed port: the fields show "-" rather than the last
    // instrument, also after setConnected(false).
    void forgetIdentity();
    void setConnected(bool connected);

signals:
    // "Upgrade firmware..." was pressed for an identified instrument: a transfer is asked
    // for.
    void upgradeAsked();
    // The image for the instrument's revision, and what the operator is told once it is in.
    void upgradeRequested(const QByteArray &image, const QByteArray &revision,
                          const QString &successText);

private:
    QSettings *m_store;
    QWidget *m_form;
    QPushButton *m_upgradeButton;
    QLineEdit *m_modelValue;
    QLineEdit *m_versionValue;
    QLineEdit *m_serialNumberValue;
    QString m_version;
    QByteArray m_revision;
    bool m_identified = false;
    bool m_connected = false;
};

#endif

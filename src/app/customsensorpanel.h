#ifndef RIMEGLASS_CUSTOMSENSORPANEL_H
#define RIMEGLASS_CUSTOMSENSORPANEL_H

#include <QObject>
#include <QStringList>
#include <QVector>

class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class QWidget;
class QwtPlot;
class QwtPlotCurve;

// The Custom sensor tab: a calibration table read from a file, its summary and preview
// plot, Transpose, export as a curve file, and Upload, which asks first when the table
// is empty (that erases the instrument's custom curve). A curve file's serial number
// names the sensor unless the operator has typed a name.
class CustomSensorPanel : public QObject
{
    Q_OBJECT

public:
    CustomSensorPanel(QWidget *form, QSettings *store);

public slots:
    void chooseFile();
    void transpose();
    void exportTable();
    void upload();
    void setConnected(bool connected);
    // Upload is explained while no instrument has identified itself on the open port.
    void setInstrumentIdentified(bool identified);

signals:
    // Upload was pressed with a port open: a transfer is asked for.
    void uploadAsked();
    // The table as the instrument stores it, and what the operator is told once it is in.
    void uploadRequested(const QByteArray &payload, const QString &successText);

private:
    void setUpPlot(QWidget *frame);
    bool confirmEmptyTableUpload();
    void showTable();

    QSettings *m_store;
    QWidget *m_form;
    QLineEdit *m_fileEdit;
    QLineEdit *m_nameEdit;
    QPushButton *m_uploadButton;
    QLabel *m_summaryLabel;
    QwtPlot *m_plot = nullptr;
    QwtPlotCurve *m_curve = nullptr;
    QVector<double> m_temperatures;
    QVector<double> m_voltages;
    QStringList m_fileNotes; // warnings or the refusal of the last file read
    bool m_connected = false;
    bool m_nameTyped = false;
};

#endif

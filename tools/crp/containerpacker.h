#ifndef RIMEGLASS_CRP_CONTAINERPACKER_H
#define RIMEGLASS_CRP_CONTAINERPACKER_H

#include <QByteArray>
#include <QString>
#include <QVector>

// Builds a format-2 firmware container: descriptor, reserved bytes, the three texts
// padded with NULs, one record per image in the order added, then the mask of this
// build and an Ed25519 signature made from the maker's seed.
class ContainerPacker
{
public:
    static constexpr int seedSize = 32;

    // Each setter refuses a value that does not fit and says why in errorString().
    bool setVersion(const QString &version);
    bool setVendor(const QString &vendor);
    bool setModel(const QString &model);
    bool addImage(const QByteArray &revision, const QByteArray &data);

    int imageCount() const;
    QString errorString() const;

    // The message before masking.
    QByteArray message() const;
    // The complete container; seed is the 32-byte signing seed.
    QByteArray pack(const QByteArray &seed) const;

private:
    struct Image
    {
        QByteArray revision;
        QByteArray data;
    };

    bool setText(QByteArray *field, const QString &text, const char *what);

    QByteArray m_version;
    QByteArray m_vendor;
    QByteArray m_model;
    QVector<Image> m_images;
    qint64 m_imageBytes = 0;
    QString m_error;
};

#endif

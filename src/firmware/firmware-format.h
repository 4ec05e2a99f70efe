#ifndef RIMEGLASS_FIRMWARE_FORMAT_H
#define RIMEGLASS_FIRMWARE_FORMAT_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtEndian>
#include <sodium.h>

// Layout of a firmware container ("*.crp"), shared by the reader and the packer.
//
// File: a 64-byte Ed25519 signature followed by the masked message (libsodium's
// combined form). Message: descriptor UUID, 16 reserved bytes, the version, vendor
// and model texts (32 bytes each, NUL padded), then image records back to back.
// Record: revision UUID, then data offset, data length and data span as unsigned
// 32-bit little-endian integers; the data starts at record + data offset and the
// next record at record + data offset + data span. Offsets below are from the first
// byte of the message or of the record.
namespace rimeglass::crp {

constexpr int signatureSize = 64;
constexpr int uuidSize = 16;
constexpr int maskSize = 32;

constexpr int descriptorOffset = 0;
constexpr int reservedOffset = 16;
constexpr int textSize = 32;
constexpr int versionOffset = 32;
constexpr int vendorOffset = 64;
constexpr int modelOffset = 96;
constexpr int recordsOffset = 128;

constexpr int recordRevisionOffset = 0;
constexpr int recordDataOffsetField = 16;
constexpr int recordDataLengthField = 20;
constexpr int recordDataSpanField = 24;
constexpr int recordHeaderSize = 28;

// Checks the signature of a container with publicKey; on success *message holds the
// signed message, still masked. A file shorter than a signature never verifies.
inline bool openSignedMessage(const QByteArray &fileData, const unsigned char *publicKey,
                              QByteArray *message)
{
    if (fileData.size() < signatureSize)
        return false;
    message->resize(fileData.size() - signatureSize);
    unsigned long long messageLength = 0;
    const int result
        = crypto_sign_open(reinterpret_cast<unsigned char *>(message->data()), &messageLength,
                           reinterpret_cast<const unsigned char *>(fileData.constData()),
                           quint64(fileData.size()), publicKey);
    return result == 0 && messageLength == quint64(message->size());
}

// Masking and unmasking are the same operation.
inline void applyMask(QByteArray &message, const unsigned char (&mask)[maskSize])
{
    char *bytes = message.data();
    for (int i = 0; i < message.size(); ++i)
        bytes[i] = char(bytes[i] ^ mask[i % maskSize] ^ (i & 0xff));
}

// A text field: UTF-8 over all its 32 bytes, with every NUL removed (not only the
// padding at the end).
inline QString readText(const QByteArray &message, int offset)
{
    return QString::fromUtf8(message.constData() + offset, textSize).remove(QChar(0));
}

inline quint32 readLittleEndian32(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

struct Record
{
    int start = 0; // offset of the record in the message
    QByteArray revision; // its 16-byte compatibility UUID
    int dataStart = 0; // offset of the image data in the message
    int dataLength = 0;
};

// Reads the record at `start` of an unmasked message and where the next one begins. False
// when its header or data reaches past the end of the message, or its data offset is
// below the header size (which would also let a walk stand still).
inline bool readRecordAt(const QByteArray &message, qint64 start, Record *record, qint64 *next)
{
    const qint64 end = message.size();
    if (end - start < recordHeaderSize)
        return false;
    const quint32 dataOffset = readLittleEndian32(message, int(start) + recordDataOffsetField);
    const quint32 dataLength = readLittleEndian32(message, int(start) + recordDataLengthField);
    const quint32 dataSpan = readLittleEndian32(message, int(start) + recordDataSpanField);
    const qint64 dataStart = start + dataOffset;
    if (dataOffset < quint32(recordHeaderSize) || dataStart > end
        || dataLength > quint64(end - dataStart))
        return false;
    *record = {int(start), message.mid(int(start) + recordRevisionOffset, uuidSize), int(dataStart),
               int(dataLength)};
    *next = dataStart + dataSpan;
    return true;
}

// Walks all the records of an unmasked message. A malformed record makes the walk return
// false with its offset in *badOffset.
inline bool readRecords(const QByteArray &message, QVector<Record> *records, int *badOffset)
{
    qint64 start = recordsOffset;
    while (start < message.size()) {
        Record record;
        const qint64 recordStart = start;
        if (!readRecordAt(message, start, &record, &start)) {
            *badOffset = int(recordStart);
            return false;
        }
        records->append(record);
    }
    return true;
}

enum class RecordSearch { Found, NotFound, Malformed };

// The first record for `revision`. Records after it are not looked at, so a damaged tail
// behind the match does not matter; a malformed record reached before any match does.
inline RecordSearch findRecord(const QByteArray &message, const QByteArray &revision, Record *found,
                               int *badOffset)
{
    qint64 start = recordsOffset;
    while (start < message.size()) {
        const qint64 recordStart = start;
        if (!readRecordAt(message, start, found, &start)) {
            *badOffset = int(recordStart);
            return RecordSearch::Malformed;
        }
        if (found->revision == revision)
            return RecordSearch::Found;
    }
    return RecordSearch::NotFound;
}

} // namespace rimeglass::crp

#endif

#include "settingsstorerepair.h"

#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QStringList>

// The store's text is cut into entries and their values decoded exactly as the toolkit's
// INI reader does it, without turning any value into a variant.
namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isSpecial(char c)
{
    return c == '\n' || c == '\r' || c == '"' || c == ';' || c == '=' || c == '\\';
}

// One entry of the store: from its first byte to its end (exclusive), and its "=".
struct Entry
{
    int start = 0;
    int end = 0;
    int equals = -1;
};

// The next entry from `position` on, as the toolkit cuts them: leading white space and
// comment lines skipped; a quoted part or a backslash carries the entry over a line end;
// an unquoted ";" ends it. False when only white space is left.
bool nextEntry(const QByteArray &text, int &position, Entry &entry)
{
    const int size = text.size();
    bool inQuotes = false;
    entry.equals = -1;
    entry.start = position;
    while (entry.start < size && isSpace(text.at(entry.start)))
        ++entry.start;

    int i = entry.start;
    bool ended = false;
    while (i < size && !ended) {
        const char c = text.at(i++);
        if (!isSpecial(c))
            continue;
        if (c == '=') {
            if (!inQuotes && entry.equals < 0)
                entry.equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == entry.start + 1)
                ++entry.start;
            else if (!inQuotes)
                ended = true;
        } else if (c == '\\') {
            if (i < size) {
                const char escaped = text.at(i++);
                if (i < size) {
                    const char next = text.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (i == entry.start + 1) { // ';' opens a comment line
            while (i < size && text.at(i) != '\n' && text.at(i) != '\r')
                ++i;
            while (i < size && isSpace(text.at(i)))
                ++i;
            entry.start = i;
        } else if (!inQuotes) { // ';' ends the entry
            ended = true;
        }
    }
    if (ended)
        --i;
    position = i;
    entry.end = i;
    return entry.end > entry.start;
}

int digitValue(char c, int base)
{
    const int value = c >= '0' && c <= '9' ? c - '0'
        : c >= 'a' && c <= 'f'             ? c - 'a' + 10
        : c >= 'A' && c <= 'F'             ? c - 'A' + 10
                                           : base;
    return value < base ? value : -1;
}

// The escape after a backslash at `i`: a named one, a hexadecimal or octal code (the
// toolkit keeps its low 16 bits) or a line continuation; any other character is dropped.
void appendEscape(const QByteArray &text, int &i, int end, QString &value)
{
    static const char named[][2]
        = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
           {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    const char c = text.at(i++);
    for (const auto &escape : named) {
        if (c == escape[0]) {
            value += QLatin1Char(escape[1]);
            return;
        }
    }
    const int base = c == 'x' ? 16 : c >= '0' && c <= '7' ? 8 : 0;
    if (base == 0) {
        if ((c == '\n' || c == '\r') && i < end && (text.at(i) == '\n' || text.at(i) == '\r')
            && text.at(i) != c)
            ++i;
        return;
    }
    uint code = base == 8 ? uint(c - '0') : 0;
    bool digits = base == 8;
    for (int digit; i < end && (digit = digitValue(text.at(i), base)) >= 0; ++i) {
        code = code * uint(base) + uint(digit);
        digits = true;
    }
    if (digits)
        value += QChar(ushort(code));
}

// The value between `from` and `end` as the toolkit decodes it: one text, or the
// elements of a list (unquoted commas). Only their beginnings matter here, so trailing
// blanks are left on.
QStringList decodedValue(const QByteArray &text, int from, int end)
{
    QStringList elements{QString()};
    bool inQuotes = false;
    int i = from;
    const auto skipBlanks = [&] {
        while (i < end && (text.at(i) == ' ' || text.at(i) == '\t'))
            ++i;
    };
    skipBlanks();
    while (i < end) {
        const char c = text.at(i++);
        if (c == '\\') {
            if (i < end)
                appendEscape(text, i, end, elements.last());
        } else if (c == '"') {
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipBlanks();
        } else if (c == ',' && !inQuotes) {
            elements.append(QString());
            skipBlanks();
        } else {
            elements.last() += QLatin1Char(c);
        }
    }
    return elements;
}

// "@@" stands for a literal "@"; any other "@" form is decoded into something else.
bool decodesToSerialisedValue(const QStringList &elements)
{
    for (const QString &element : elements) {
        if (element.startsWith(QLatin1Char('@')) && !element.startsWith(QLatin1String("@@")))
            return true;
    }
    return false;
}

} // namespace

QByteArray SettingsStoreRepair::withoutVariants(const QByteArray &iniText, bool *dropped)
{
    *dropped = false;
    QByteArray kept;
    int copied = 0;
    int position = iniText.startsWith("\xef\xbb\xbf") ? 3 : 0;
    Entry entry;
    while (nextEntry(iniText, position, entry)) {
        // A section header holds no value, whatever follows it on its line.
        if (entry.equals < 0 || iniText.at(entry.start) == '[')
            continue;
        if (!decodesToSerialisedValue(decodedValue(iniText, entry.equals + 1, entry.end)))
            continue;
        kept += iniText.mid(copied, entry.start - copied);
        // The entry's line goes with its line end, as if it had never been written.
        copied = entry.end;
        if (iniText.mid(copied, 2) == "\r\n")
            copied += 2;
        else if (copied < iniText.size()
                 && (iniText.at(copied) == '\n' || iniText.at(copied) == '\r'))
            ++copied;
        *dropped = true;
    }
    return *dropped ? kept + iniText.mid(copied) : iniText;
}

bool SettingsStoreRepair::repair()
{
    QString fileName;
    bool damaged = false;
    {
        // Opening the store reads its text but decodes no value until a key is read.
        const QSettings probe;
        fileName = probe.fileName();
        damaged = probe.status() != QSettings::NoError;
    }

    QFile file(fileName);
    if (!file.exists())
        return damaged;
    if (!file.open(QIODevice::ReadOnly))
        return true;
    bool dropped = false;
    const QByteArray cleaned = withoutVariants(file.readAll(), &dropped);
    file.close();
    if (!dropped)
        return damaged;

    QSaveFile save(fileName);
    if (save.open(QIODevice::WriteOnly))
        save.write(cleaned);
    save.commit();
    return true;
}

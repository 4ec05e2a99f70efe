// rimeglass-crp: packs firmware images into signed, masked containers and inspects
// containers with the key and mask this build was configured with.

#include "buildinfo.h"
#include "containerpacker.h"
#include "containerreport.h"
#include "revisions.h"
#include "signingkeys.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <cstdio>
#include <sodium.h>

namespace {

const char usage[]
    = "Usage: rimeglass-crp pack --seed FILE --version V --vendor S --model S\n"
      "                          --image REVISION=FILE [--image ...] -o OUT.crp\n"
      "       rimeglass-crp inspect FILE.crp [--compat REVISION]\n"
      "       rimeglass-crp --version\n"
      "\n"
      "Makes and checks firmware containers for the temperature monitor configuration\n"
      "tool. REVISION is r1, r2, a UUID or its 32 hex digits. The mask and the public key\n"
      "that containers are checked with are those this build was configured with.\n"
      "\"rimeglass-crp COMMAND --help\" describes the options of a command.\n";

void printLine(std::FILE *stream, const QString &text)
{
    std::fputs((text + QLatin1Char('\n')).toUtf8().constData(), stream);
}

int fail(const QString &message)
{
    printLine(stderr, QStringLiteral("rimeglass-crp: ") + message);
    return 1;
}

bool readFile(const QString &path, const QString &what, QByteArray *contents, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1 \"%2\": %3").arg(what, path, file.errorString());
        return false;
    }
    *contents = file.readAll();
    return true;
}

void warnOnForeignSeed(const QByteArray &seed)
{
    const QByteArray seedKey = publicKeyOfSeed(seed);
    if (seedKey == compiledPublicKey())
        return;
    printLine(stderr,
              QStringLiteral("rimeglass-crp: warning: the seed's public key %1 is not the key "
                             "this build checks containers with (%2); only a build configured "
                             "with RIMEGLASS_FIRMWARE_PUBLIC_KEY=%1 accepts this container")
                  .arg(QString::fromLatin1(seedKey.toHex()),
                       QString::fromLatin1(compiledPublicKey().toHex())));
}

// Adds the image of one --image REVISION=FILE value.
bool addImage(ContainerPacker *packer, const QString &value, QString *error)
{
    const int equals = value.indexOf(QLatin1Char('='));
    if (equals < 0) {
        *error = QStringLiteral("--image expects REVISION=FILE, not \"%1\"").arg(value);
        return false;
    }
    const QString revisionText = value.left(equals);
    const QByteArray revision = parseRevision(revisionText);
    if (revision.isEmpty()) {
        *error = QStringLiteral("\"%1\" is not a revision: use r1, r2 or a UUID such as "
                                "3cc3a93f-4261-45ff-95bf-653df2686cb0")
                     .arg(revisionText);
        return false;
    }
    QByteArray data;
    if (!readFile(value.mid(equals + 1), QStringLiteral("image file"), &data, error))
        return false;
    if (!packer->addImage(revision, data)) {
        *error = packer->errorString();
        return false;
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &contents, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()
        || !file.commit()) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// Parses the arguments of one command; false with *status set when the run ends here.
bool parseCommand(QCommandLineParser *parser, const QStringList &arguments, int positionals,
                  int *status)
{
    const QCommandLineOption help = parser->addHelpOption();
    if (!parser->parse(arguments)) {
        *status = fail(parser->errorText());
        return false;
    }
    if (parser->isSet(help)) {
        std::fputs(parser->helpText().toUtf8().constData(), stdout);
        *status = 0;
        return false;
    }
    if (parser->positionalArguments().size() != positionals) {
        *status = fail(QStringLiteral("%1 expects %2 argument(s) besides its options; see "
                                      "\"rimeglass-crp %1 --help\"")
                           .arg(arguments.value(1))
                           .arg(positionals - 1));
        return false;
    }
    return true;
}

int pack(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Packs firmware images into a container."));
    parser.addPositionalArgument(QStringLiteral("pack"), QStringLiteral("The command."));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Signing seed: 64 hex digits."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Version text, at most 32 bytes."),
                                           QStringLiteral("V"));
    const QCommandLineOption vendorOption(QStringLiteral("vendor"),
                                          QStringLiteral("Vendor text, at most 32 bytes."),
                                          QStringLiteral("S"));
    const QCommandLineOption modelOption(QStringLiteral("model"),
                                         QStringLiteral("Model text, at most 32 bytes."),
                                         QStringLiteral("S"));
    const QCommandLineOption imageOption(
        QStringLiteral("image"),
        QStringLiteral("Image for a hardware revision (r1, r2 or a UUID); repeat for each "
                       "revision, records follow in this order."),
        QStringLiteral("REVISION=FILE"));
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          QStringLiteral("Container file to write."),
                                          QStringLiteral("OUT.crp"));
    parser.addOptions(
        {seedOption, versionOption, vendorOption, modelOption, imageOption, outputOption});
    int status = 0;
    if (!parseCommand(&parser, arguments, 1, &status))
        return status;

    for (const QCommandLineOption &option :
         {seedOption, versionOption, vendorOption, modelOption, imageOption, outputOption}) {
        if (!parser.isSet(option))
            return fail(QStringLiteral("pack needs --%1").arg(option.names().constLast()));
    }
    ContainerPacker packer;
    if (!packer.setVersion(parser.value(versionOption))
        || !packer.setVendor(parser.value(vendorOption))
        || !packer.setModel(parser.value(modelOption)))
        return fail(packer.errorString());
    QString error;
    const QByteArray seed = readSeedFile(parser.value(seedOption), &error);
    if (seed.isEmpty())
        return fail(error);
    for (const QString &value : parser.values(imageOption)) {
        if (!addImage(&packer, value, &error))
            return fail(error);
    }

    const QByteArray container = packer.pack(seed);
    warnOnForeignSeed(seed);
    const QString output = parser.value(outputOption);
    if (!writeFile(output, container, &error))
        return fail(error);
    printLine(stdout,
              QStringLiteral("%1: %2 image(s), %3 bytes")
                  .arg(output)
                  .arg(packer.imageCount())
                  .arg(container.size()));
    return 0;
}

int inspect(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Checks a container with the key and mask of this build and lists its "
                       "records. Exits with 0 only for a valid container (and, with --compat, "
                       "only when a record fits)."));
    parser.addPositionalArgument(QStringLiteral("inspect"), QStringLiteral("The command."));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("Container to check."));
    const QCommandLineOption compatOption(
        QStringLiteral("compat"),
        QStringLiteral("Also tell which record an instrument of this revision gets."),
        QStringLiteral("REVISION"));
    parser.addOption(compatOption);
    int status = 0;
    if (!parseCommand(&parser, arguments, 2, &status))
        return status;

    QByteArray compat;
    if (parser.isSet(compatOption)) {
        compat = parseRevision(parser.value(compatOption));
        if (compat.isEmpty())
            return fail(QStringLiteral("\"%1\" is not a revision: use r1, r2 or a UUID")
                            .arg(parser.value(compatOption)));
    }
    QByteArray fileData;
    QString error;
    if (!readFile(parser.positionalArguments().at(1), QStringLiteral("container"), &fileData,
                  &error))
        return fail(error);

    ContainerReport inspector(fileData);
    bool valid = inspector.valid();
    if (!compat.isEmpty())
        valid = inspector.selectFor(compat) && valid;
    for (const QString &line : inspector.report())
        printLine(stdout, line);
    return valid ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rimeglass-crp"));
    if (sodium_init() < 0)
        return fail(QStringLiteral("cannot initialise libsodium"));

    const QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    if (command == QLatin1String("pack"))
        return pack(arguments);
    if (command == QLatin1String("inspect"))
        return inspect(arguments);
    // "pack --version V" is the container's version; alone it is the tool's own.
    if (command == QLatin1String("--version") || command == QLatin1String("-v")) {
        std::fputs(BuildInfo::versionReport(QStringLiteral("rimeglass-crp")).toUtf8().constData(),
                   stdout);
        return 0;
    }
    if (command == QLatin1String("--help") || command == QLatin1String("-h")
        || command == QLatin1String("help")) {
        std::fputs(usage, stdout);
        return 0;
    }
    std::fputs(usage, stderr);
    return command.isEmpty() ? 1 : fail(QStringLiteral("unknown command \"%1\"").arg(command));
}

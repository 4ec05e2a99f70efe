#ifndef RIMEGLASS_TESTS_SCRIPTEDINSTRUMENT_H
#define RIMEGLASS_TESTS_SCRIPTEDINSTRUMENT_H

#include <QByteArray>
#include <QList>

// The instrument's side of both transfers. It runs the application firmware or the
// boot loader, answers every command the way the real one does, and writes down
// every token it receives.
struct ScriptedInstrument
{
    QByteArray applicationVersion = "1.7";
    QByteArray bootLoaderVersion = "1.4";
    // The hardware revision reported to "@00" (revision 1 unless a test says otherwise).
    QByteArray compatHex = "3cc3a93f426145ff95bf653df2686cb0";
    bool inBootLoader = false;
    bool heldInManagement = false;
    QList<QByteArray> commands;

    QList<QByteArray> respond(const QByteArray &token)
    {
        if (token == "\n")
            return {};
        commands << token;
        if (token == ":system:reset\n") {
            inBootLoader = true;
            heldInManagement = false;
            return {"*RESET ", "*BOOTSTRAP " + bootLoaderVersion};
        }
        if (token == "\x03") {
            if (!inBootLoader)
                return {};
            heldInManagement = true;
            return {"*MGMT"};
        }
        if (token == "*IDN?\n" || token == "*idn?\n") {
            return {inBootLoader ? "MORVA,ZURKD550-BS,SN42," + bootLoaderVersion
                                 : "MORVA,ZURKD550,SN42," + applicationVersion};
        }
        if (token == "@00\n")
            return {"*COMPAT = " + compatHex};
        if (token == ":cal:erase\n")
            return {"*cal-erase-done"};
        if (token.startsWith(":cal:write "))
            return {"*cal-write-done"};
        if (token == "@02\n" || token == "flash erase\n")
            return {"*ERASE_OK"};
        if (token.startsWith("@03 ") || token.startsWith("flash write "))
            return {"*WRITE_OK"};
        if (token == "boot\n") {
            inBootLoader = false;
            return {"*APP " + applicationVersion};
        }
        return {};
    }
};

#endif

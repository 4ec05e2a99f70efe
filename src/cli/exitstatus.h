#ifndef RIMEGLASS_EXITSTATUS_H
#define RIMEGLASS_EXITSTATUS_H

// rimeglass-cli's exit statuses, as the manual page lists them.
enum ExitStatus {
    Success = 0,
    // An output could not be written: standard output, a file, or a database that refused
    // the readings or could not be reached until the end.
    OutputFailed = 1,
    UsageError = 2,
    PortError = 3, // the port could not be opened, or went away
    NoAnswer = 4, // the instrument did not answer (or sent no reading) in time
    RefusedInput = 5, // a value, file or container was refused; nothing was sent
    TransferFailed = 6,
    // The log ran to its end with its output working, but readings were dropped on the way.
    ReadingsLost = 7,
};

#endif

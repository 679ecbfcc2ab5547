// What one disk made of the commands sent to it through one device object.
#ifndef QUELVAR_SYS_COMMANDGATE_H
#define QUELVAR_SYS_COMMANDGATE_H

// The command choke points (SendSgIo, SendNvmeCommand) fill it. A command
// that times out closes the gate: nothing more is sent through it, so a disk
// that does not answer costs one time-out, not one for every command of a
// fallback chain.
struct CommandGate {
    bool answered = false;  // a command completed, well or not
    bool timedOut = false;  // a command timed out; no further command is sent
    // How long a read-only command may wait, in milliseconds; 0 keeps the
    // command layer's own limit. The report sets a shorter one.
    unsigned readTimeoutMs = 0;
};

#endif

#pragma once

#include <csignal>

// Removes a named file when a signal ends the process, so that a run ended by one leaves nothing
// behind: the handler removes the file, then dies of the same signal, so that whoever started the
// process sees how it ended. One file at a time in the process, as the handler knows of one.
//
// The signals are those that end a process by default and can be caught; one that was ignored when
// the process started (as under nohup) stays ignored. The file is made, armed, disarmed and removed
// with the signals held (held_signals), so that the handler never sees a name half made or gone.

// The handlers that arming replaced, to be put back.
struct signal_cleanup {
    sigset_t armed{};
    struct sigaction saved[NSIG] {};
};

// From now on, a fatal signal removes name in the folder dir (name must outlive the arming).
void arm(signal_cleanup& c, int dir, const char* name);
// Forgets the file and puts back the handlers that arm replaced.
void disarm(signal_cleanup& c);

// Holds the fatal signals back while it lives: one that comes meanwhile waits until it ends.
struct held_signals {
    sigset_t old;  // the mask to return to
    held_signals();
    ~held_signals();
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
};

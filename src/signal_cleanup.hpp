#pragma once

#include <cstdint>

// Removes a named file when a signal ends the process, so that a run ended by one leaves nothing
// behind: the handler removes the file, then dies of the same signal, so that whoever started the
// process sees how it ended. One file at a time in the process, as the handler knows of one.
//
// The signals are, by number, every one from 1 to SIGRTMAX that ends a process by default and can
// be caught, those the C library keeps for itself (32 and 33) included: they are set and held
// through the system calls themselves, as the library will not. One that was ignored when the
// process started (as under nohup) stays ignored. The file is made, armed, disarmed and removed
// with the signals held (held_signals), so that the handler never sees a name half made or gone.

// A set of signals as the kernel takes it: signal n is bit n - 1.
using signal_set = std::uint64_t;
inline constexpr int last_signal = 64;  // SIGRTMAX, as the kernel's set has room for no more

// The kernel's own record of what a signal does, as its rt_sigaction takes it: with the code that
// returns from a handler where the kernel has room for it.
struct signal_action {
    void (*handler)(int);
    unsigned long flags;
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__)
    void (*restorer)();
#elif !defined(__riscv) && !defined(__loongarch__)
#error "signal_action is not known to match this architecture's kernel"
#endif
    signal_set mask;
};

// The handlers that arming replaced, to be put back.
struct signal_cleanup {
    signal_set armed = 0;
    signal_action saved[last_signal + 1] = {};  // by number
};

// From now on, a fatal signal removes name in the folder dir (name must outlive the arming). 0, or
// the errno of a handler that could not be set; disarm puts back those that were.
int arm(signal_cleanup& c, int dir, const char* name);
// Forgets the file and puts back the handlers that arm replaced.
void disarm(signal_cleanup& c);

// Holds the fatal signals back while it lives: one that comes meanwhile waits until it ends. err
// is 0, or why they could not be held.
struct held_signals {
    signal_set old = 0;  // the mask to return to
    bool holding;
    int err;
    held_signals();
    // Lets them go now: 0, or why they could not be held or let go.
    int let_go();
    ~held_signals();
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
};

#include "signal_cleanup.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <initializer_list>

namespace {

// The file to remove, for the handler; changed only with the signals held.
volatile std::sig_atomic_t held_dir = -1;
const char* volatile held_name = nullptr;

void on_fatal(int sig) {
    if (held_dir >= 0) {
        unlinkat(held_dir, held_name, 0);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);  // delivered as the handler returns, the signal being blocked in it
}

sigset_t fatal_signals() {
    sigset_t set;
    sigfillset(&set);  // leaves out those the C library keeps to itself
    for (const int sig :
         {SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU}) {
        sigdelset(&set, sig);
    }
    return set;
}

}  // namespace

void arm(signal_cleanup& c, int dir, const char* name) {
    held_name = name;
    held_dir = dir;
    struct sigaction sa {};
    sa.sa_handler = on_fatal;
    sa.sa_mask = fatal_signals();
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&sa.sa_mask, sig) == 1 && sigaction(sig, nullptr, &c.saved[sig]) == 0 &&
            c.saved[sig].sa_handler != SIG_IGN && sigaction(sig, &sa, nullptr) == 0) {
            sigaddset(&c.armed, sig);
        }
    }
}

void disarm(signal_cleanup& c) {
    held_dir = -1;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&c.armed, sig) == 1) {
            sigaction(sig, &c.saved[sig], nullptr);
        }
    }
    sigemptyset(&c.armed);
}

held_signals::held_signals() {
    const sigset_t set = fatal_signals();
    sigprocmask(SIG_BLOCK, &set, &old);
}

held_signals::~held_signals() { sigprocmask(SIG_SETMASK, &old, nullptr); }

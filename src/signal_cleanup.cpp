#include "signal_cleanup.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// The file to remove, for the handler; changed only with the signals held.
volatile std::sig_atomic_t held_dir = -1;
const char* volatile held_name = nullptr;

constexpr signal_set bit(int sig) { return signal_set{1} << (sig - 1); }

// Those that end a process by default and can be caught.
constexpr signal_set fatal =
    ~(bit(SIGKILL) | bit(SIGSTOP) | bit(SIGCHLD) | bit(SIGCONT) | bit(SIGURG) | bit(SIGWINCH) |
      bit(SIGTSTP) | bit(SIGTTIN) | bit(SIGTTOU));

// rt_sigaction, as the C library's sigaction will not take every signal. 0, or -1 with errno set.
long act(int sig, const signal_action* to, signal_action* was) {
    return syscall(SYS_rt_sigaction, sig, to, was, sizeof(signal_set));
}

void on_fatal(int sig) {
    if (held_dir >= 0) {
        unlinkat(held_dir, held_name, 0);
    }
    signal_action fall{};
    fall.handler = SIG_DFL;
    act(sig, &fall, nullptr);
    // Delivered as the handler returns, the signal being blocked in it. Sent as kill sends it, as
    // a real-time signal sent so is never refused for a full queue.
    kill(getpid(), sig);
}

}  // namespace

int arm(signal_cleanup& c, int dir, const char* name) {
    held_name = name;
    held_dir = dir;
    for (int sig = 1; sig <= last_signal; ++sig) {
        if ((fatal & bit(sig)) != 0 && act(sig, nullptr, &c.saved[sig]) != 0) {
            return errno;
        }
    }
    c.armed = fatal;
    // The handler as the C library sets it, with what the kernel needs to return from it, read
    // back to be given alike to every signal, all held while it runs.
    struct sigaction library {};
    library.sa_handler = on_fatal;
    signal_action ours{};
    if (sigaction(SIGTERM, &library, nullptr) != 0 || act(SIGTERM, nullptr, &ours) != 0) {
        return errno;
    }
    ours.mask = ~signal_set{0};
    for (int sig = 1; sig <= last_signal; ++sig) {
        const bool ignored = c.saved[sig].handler == SIG_IGN;
        if ((fatal & bit(sig)) != 0 && act(sig, ignored ? &c.saved[sig] : &ours, nullptr) != 0) {
            return errno;
        }
    }
    return 0;
}

void disarm(signal_cleanup& c) {
    held_dir = -1;
    for (int sig = 1; sig <= last_signal; ++sig) {
        if ((c.armed & bit(sig)) != 0) {
            act(sig, &c.saved[sig], nullptr);
        }
    }
    c.armed = 0;
}

held_signals::held_signals()
    : holding(syscall(SYS_rt_sigprocmask, SIG_BLOCK, &fatal, &old, sizeof fatal) == 0),
      err(holding ? 0 : errno) {}

int held_signals::let_go() {
    if (holding && syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, sizeof old) != 0) {
        err = errno;
    }
    holding = false;
    return err;
}

held_signals::~held_signals() { let_go(); }

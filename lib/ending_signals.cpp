#include "ending_signals.h"

#include <atomic>
#include <pthread.h>

namespace {

const int ENDING[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGABRT};

} // namespace

sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ENDING)
        sigaddset(&set, sig);
    return set;
}

namespace {

// The actions installed here, to put back after a held signal (each is
// installed with SA_RESETHAND, so the handler's first run takes it off).
struct sigaction installed[NSIG];
std::atomic<bool> ours[NSIG];

std::atomic<int> holders{0};
std::atomic<int> held{0};
thread_local sigset_t mask_before_hold;
thread_local int holds_here = 0;

void install(void (*handler)(int), bool only_default)
{
    for (int sig : ENDING) {
        struct sigaction previous {};
        sigaction(sig, nullptr, &previous);
        if (previous.sa_handler == SIG_IGN || (only_default && (previous.sa_handler != SIG_DFL ||
                                                                (previous.sa_flags & SA_SIGINFO))))
            continue;
        struct sigaction action {};
        action.sa_handler = handler;
        action.sa_mask = ending_signals();
        action.sa_flags = SA_RESETHAND;
        installed[sig] = action;
        ours[sig] = true;
        sigaction(sig, &action, nullptr);
    }
}

} // namespace

void on_ending_signals(void (*handler)(int)) { install(handler, false); }

void on_default_ending_signals(void (*handler)(int)) { install(handler, true); }

void hold_ending_signals()
{
    if (holds_here++ == 0) {
        const sigset_t ending = ending_signals();
        pthread_sigmask(SIG_BLOCK, &ending, &mask_before_hold);
    }
    holders++;
}

void release_ending_signals()
{
    const bool last = --holders == 0;
    const int sig = last ? held.exchange(0) : 0;
    if (--holds_here == 0)
        pthread_sigmask(SIG_SETMASK, &mask_before_hold, nullptr);
    if (sig != 0)
        raise(sig);
}

bool ending_signal_held(int sig)
{
    if (holders.load() == 0)
        return false;
    held.store(sig);
    if (sig > 0 && sig < NSIG && ours[sig])
        sigaction(sig, &installed[sig], nullptr);
    // A release between the two loads has not seen the signal: it is handled now.
    return holders.load() != 0;
}

#include "ending_signals.h"

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
        sigaction(sig, &action, nullptr);
    }
}

} // namespace

void on_ending_signals(void (*handler)(int)) { install(handler, false); }

void on_default_ending_signals(void (*handler)(int)) { install(handler, true); }

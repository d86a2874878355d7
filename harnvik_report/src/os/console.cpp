#include "os/console.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace Harnvik::Report::os {

namespace {

// Set by the handler, on a signal or on Windows' handler thread.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

#if defined(_WIN32)

BOOL WINAPI on_control(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    // The second one goes on to the default handler, which ends the process.
    return g_interrupted.exchange(true) ? FALSE : TRUE;
}

#else

extern "C" void on_interrupt(int) {
    g_interrupted.store(true);
    std::signal(SIGINT, SIG_DFL);
}

#endif

}  // namespace

bool prepare_terminal_output() {
#if defined(_WIN32)
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(output, &mode) &&
           SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

terminal_size output_terminal_size() {
    terminal_size size;
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO information;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &information)) {
        size.columns = information.srWindow.Right - information.srWindow.Left + 1;
        size.rows = information.srWindow.Bottom - information.srWindow.Top + 1;
    }
#else
    struct winsize window {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0) {
        size.columns = window.ws_col;
        size.rows = window.ws_row;
    }
#endif
    return size;
}

void catch_interrupt() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(on_control, TRUE);
#else
    // A program started with Ctrl-C ignored (in the background) keeps it so.
    struct sigaction before {};
    if (sigaction(SIGINT, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
#endif
}

bool interrupted() {
    return g_interrupted.load();
}

void exit_interrupted() {
    std::fflush(stdout);
    std::fflush(stderr);
#if defined(_WIN32)
    ExitProcess(STATUS_CONTROL_C_EXIT);
#else
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
    std::_Exit(128 + SIGINT);  // only if the signal is blocked
#endif
}

}  // namespace Harnvik::Report::os

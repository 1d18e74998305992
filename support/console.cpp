// Console utilities: the CTRL-C abort, the key wait, and the prompt and printer kit.
#include "support/console.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <conio.h>
#include <io.h>
#include <unistd.h>
#else
#include <pthread.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

// ---------------------------------------------------------------------------
// Abort flag and its handlers

// Written from signal handlers, read by the main thread.
volatile sig_atomic_t g_abort_flag = 0;
// Main thread only: the handlers are installed at the first AbortPending().
int g_handler_installed = 0;

void WriteAll(int fd, const char* text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

// SIGTERM (e.g. from a service manager) asks for the same orderly close as CTRL-C.
void OnTerminate(int)
{
    g_abort_flag = 1;
}

// Installs `handler` for `signal_number`, one-shot: the next such signal gets
// the default action and ends the process.
#ifdef _WIN32
// The C runtime's signal resets to the default before calling the handler,
// which runs on the thread the console starts for the control event.
int InstallOneShot(int signal_number, void (*handler)(int))
{
    return std::signal(signal_number, handler) != SIG_ERR ? 1 : 0;
}
#else
int InstallOneShot(int signal_number, void (*handler)(int))
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // SA_RESTART: the rest of the program's I/O carries on undisturbed.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    return sigaction(signal_number, &action, nullptr) == 0 ? 1 : 0;
}
#endif

// ---------------------------------------------------------------------------
// Key wait on a terminal
#ifndef _WIN32

// Signals that end a key wait. Their handlers restore the terminal first.
constexpr int kWaitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kWaitSignalCount = sizeof kWaitSignals / sizeof kWaitSignals[0];

struct termios g_saved_termios;
volatile sig_atomic_t g_termios_active = 0;  // 1 while the terminal is in key-wait mode
volatile sig_atomic_t g_wait_interrupted = 0;
struct sigaction g_previous_actions[kWaitSignalCount];
volatile sig_atomic_t g_wait_signal_fired[kWaitSignalCount];
int g_atexit_registered = 0;

void RestoreTerminal()
{
    if (g_termios_active) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
        g_termios_active = 0;
    }
}

void RestoreTerminalAtExit()
{
    RestoreTerminal();
}

// Handler during a key wait (it runs only inside the wait's pselect): gives the
// terminal back, puts the previous action of the signal back and raises the
// signal again. The raised signal stays blocked until the wait has cleaned up;
// then the previous action (the abort handler, or the default end of the
// process) takes it.
void OnSignalDuringKeyWait(int signal_number)
{
    int saved_errno = errno;
    RestoreTerminal();
    g_wait_interrupted = 1;
    for (int i = 0; i < kWaitSignalCount; ++i) {
        if (kWaitSignals[i] == signal_number && !g_wait_signal_fired[i]) {
            g_wait_signal_fired[i] = 1;
            sigaction(signal_number, &g_previous_actions[i], nullptr);
            raise(signal_number);
        }
    }
    errno = saved_errno;
}

// Reads one byte straight from the terminal in key-wait mode. Returns 0 when
// the terminal could not be switched (the caller falls back to a plain read).
int WaitForTerminalKey()
{
    struct termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return 0;

    sigset_t wait_signals, original_mask;
    sigemptyset(&wait_signals);
    for (int signal_number : kWaitSignals) sigaddset(&wait_signals, signal_number);
    pthread_sigmask(SIG_BLOCK, &wait_signals, &original_mask);

    if (!g_atexit_registered) {
        g_atexit_registered = 1;
        std::atexit(RestoreTerminalAtExit);
    }

    g_wait_interrupted = 0;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignalDuringKeyWait;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait must see the interruption
    for (int i = 0; i < kWaitSignalCount; ++i) {
        g_wait_signal_fired[i] = 0;
        sigaction(kWaitSignals[i], &action, &g_previous_actions[i]);
    }

    // No echo, no line editing, no signal characters, no flow control or CR
    // translation: every key arrives as one byte as soon as it is typed.
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    g_saved_termios = saved;
    g_termios_active = 1;
    int switched = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;

    if (switched) {
        // The wait signals are unblocked only inside pselect, so one that
        // arrives at any moment ends the wait instead of being missed.
        while (!g_wait_interrupted) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(STDIN_FILENO, &readable);
            int ready = pselect(STDIN_FILENO + 1, &readable, nullptr, nullptr, nullptr, &original_mask);
            if (ready < 0) {
                if (errno == EINTR) continue;
                break;
            }
            unsigned char key;
            ssize_t n = read(STDIN_FILENO, &key, 1);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            break;  // a key, end of input or a read error
        }
    }

    // Still blocked here: put everything back, then let any pending signal
    // reach its own handler.
    RestoreTerminal();
    for (int i = 0; i < kWaitSignalCount; ++i) {
        if (!g_wait_signal_fired[i]) sigaction(kWaitSignals[i], &g_previous_actions[i], nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &original_mask, nullptr);
    return switched;
}
#endif

// One input character taken as a byte, or EOF.
int NextByte()
{
    int c = NextInputChar();
    return c == EOF ? EOF : static_cast<unsigned char>(c);
}

void PrintErase()
{
    std::printf("%c %c", 8, 8);
}

}  // namespace

// ---------------------------------------------------------------------------
// Abort

int AbortPending()
{
    if (!g_handler_installed) {
        g_handler_installed = 1;
        int ok = InstallOneShot(SIGINT, OnInterrupt);
        ok = InstallOneShot(SIGTERM, OnTerminate) && ok;
        if (!ok) std::printf("could not setup ctrl-c handler\n");
    }
    return g_abort_flag ? 1 : 0;
}

void OnInterrupt(int)
{
    int saved_errno = errno;
    g_abort_flag = 1;
    static const char kNotice[] = "<< CTRL-C key abort >>";
    WriteAll(STDOUT_FILENO, kNotice, sizeof kNotice - 1);
    errno = saved_errno;
}

// ---------------------------------------------------------------------------
// Key wait

void WaitForKey()
{
    std::fflush(stdout);
#ifdef _WIN32
    // On a console one key, unechoed, without Enter. _getch gives -1 at once
    // when input is no console: that is end of input, as is a failed wait.
    if (_isatty(0)) {
        _getch();
        return;
    }
#else
    if (isatty(STDIN_FILENO) && WaitForTerminalKey()) return;
#endif
    NextInputChar();
}

// ---------------------------------------------------------------------------
// Prompts

int NextInputChar()
{
    std::fflush(stdout);
    return std::getchar();
}

int PromptText(const char* prompt, char* text, int minimum_length, int maximum_length)
{
    constexpr int kSaveSize = 80;
    if (AbortPending()) return -1;

    const int length = static_cast<int>(std::strlen(text));
    // Short defaults are saved whole (with the terminator); of a longer one the
    // first 80 characters, which restore it as long as typing went no further.
    char save[kSaveSize];
    const int saved = length < kSaveSize ? length + 1 : kSaveSize;
    std::memcpy(save, text, static_cast<size_t>(saved));

    std::printf(length < 30 ? "%s (%s): " : "%s (%s):\n", prompt, text);

    int count = 0;
    int touched = 0;  // leading characters of the buffer overwritten so far
    for (;;) {
        int c = NextByte();
        if (AbortPending()) return -1;
        if (c == EOF || c == 27) {
            std::printf("\n");
            return -1;
        }
        if (c == 8) {
            if (count > 0) {
                --count;
                PrintErase();
            }
        } else if (c == 10) {
            if (count == 0 && length > minimum_length) {
                if (length < kSaveSize || touched <= kSaveSize) {
                    std::memcpy(text, save, static_cast<size_t>(length < kSaveSize ? saved : touched));
                    std::printf("\n");
                    return length;
                }
                // A long default overwritten past the saved part can't be
                // given back: an answer has to be typed.
            } else if (count >= minimum_length) {
                std::printf("\n");
                return count;
            }
        } else if (count < maximum_length) {
            std::printf("%c", c);
            text[count++] = static_cast<char>(c);
            if (count > touched) touched = count;
        }
    }
}

int PromptDecimal(const char* prompt, int maximum_chars, int32_t* value, int32_t minimum, int32_t maximum)
{
    // Largest magnitude worth typing: that of the most negative 32-bit value.
    constexpr long long kMaxMagnitude = 2147483648LL;
    if (AbortPending()) return 0;

    long long current = *value;
    for (;;) {
        std::printf("%s (%lld): ", prompt, current);
        int count = 0;
        int sign_at = -1;  // position of the minus sign among the typed characters
        for (;;) {
            int c = NextByte();
            if (AbortPending()) return 0;
            if (c == EOF || c == 27) {
                std::printf("  Aborted\n\n");
                return 0;
            }
            const int digits = count - (sign_at >= 0 ? 1 : 0);
            if (c == '-' && sign_at < 0) {
                sign_at = count++;
                std::printf("-");
            } else if (c == 8 && count > 0) {
                // Erases whatever was typed last, the sign or a digit.
                if (sign_at == count - 1) {
                    sign_at = -1;
                } else {
                    current /= 10;
                }
                PrintErase();
                --count;
            } else if (c == 10) {
                std::printf("\n");
                break;
            } else if (c >= '0' && c <= '9') {
                if (digits == 0) current = 0;
                long long next = current * 10 + (c - '0');
                if (count < maximum_chars && next <= kMaxMagnitude && next >= -kMaxMagnitude) {
                    std::printf("%c", c);
                    current = next;
                    ++count;
                }
            }
        }
        if (sign_at >= 0) current = -current;
        if (current >= minimum && current <= maximum) {
            *value = static_cast<int32_t>(current);
            return 1;
        }
    }
}

int PromptHexValue(const char* prompt, int maximum_digits, int32_t* value)
{
    std::printf("%s (enter hex, up to %d chars):", prompt, maximum_digits);
    uint32_t result = 0;
    int count = 0;
    while (count < maximum_digits) {
        int c = NextByte();
        if (c == EOF || c == 27) {
            std::printf("  Aborted\n\n");
            return 0;
        }
        if (c == 8) {
            if (count > 0) {
                PrintErase();
                --count;
                result >>= 4;
            }
        } else if (c == 10) {
            break;
        } else if (std::isxdigit(c)) {
            std::printf("%c", c);
            result = (result << 4) | static_cast<uint32_t>(HexCharValue(static_cast<char>(c)));
            ++count;
        }
    }
    std::printf("\n");
    *value = static_cast<int32_t>(result);
    return 1;
}

int HexCharValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

int ReadInputBytes(uint8_t* buffer, int capacity, int mode)
{
    int count = 0;
    for (;;) {
        int c = NextByte();
        if (c == EOF) return count;
        const bool space = std::isspace(c) != 0;
        if (mode == 0) {
            if ((!space || c == ' ') && count < capacity) {
                buffer[count++] = static_cast<uint8_t>(c);
            } else if (count > 0) {
                return count;
            }
        } else if (!space) {
            char pair[3] = {static_cast<char>(c), 0, 0};
            int c2 = NextByte();
            if (c2 != EOF) pair[1] = static_cast<char>(c2);
            long byte = std::strtol(pair, nullptr, 16);
            if (count < capacity) buffer[count++] = static_cast<uint8_t>(byte & 0xFF);
            if (c2 == EOF) return count;
        } else if (c != ' ' && count > 0) {
            return count;
        }
    }
}

// ---------------------------------------------------------------------------
// Printers

void DumpBytesHex(const uint8_t* data, int length)
{
    for (int i = 0; i < length; ++i) std::printf(i % 16 == 0 ? "\n  %02X" : ".%02X", data[i]);
    std::printf("\n");
}

void EchoBytesAsChars(const uint8_t* data, int length)
{
    for (int i = 0; i < length; ++i) std::printf("%c", data[i]);
}

void ShowSerialNumber(const uint8_t serial[8])
{
    for (int i = 7; i >= 0; --i) std::printf("%02X", serial[i]);
}

void QuitWithMessage(const char* message, int exit_status)
{
    std::printf("%s\n", message);
    std::exit(exit_status);
}

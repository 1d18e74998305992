// Runs console code in a forked child whose standard input and output are a
// pipe pair or a pseudo-terminal, so that tests can type at it, read what it
// prints, and see how it ended. Every wait has a generous deadline; a child
// that outlives it is killed and the test fails instead of hanging.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace console_test {

constexpr int kDeadlineMs = 30000;

inline long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline void SleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

struct Child {
    pid_t pid = -1;
    int input = -1;   // write end of the child's standard input (the pty master for a pty)
    int output = -1;  // read end of the child's standard output (the pty master for a pty)
    int report = -1;  // read end of the child's report channel
    bool pty = false;
};

inline void WriteAllTo(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// Starts `body(report_fd)` in a child; the child ends with status 0 when the
// body returns.
inline Child Spawn(const std::function<void(int)>& body, bool use_pty)
{
    std::fflush(stdout);
    std::fflush(stderr);
    int report[2];
    if (pipe(report) != 0) std::abort();
    Child child;
    child.pty = use_pty;
    if (use_pty) {
        int master = -1;
        child.pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (child.pid == 0) {
            close(report[0]);
            body(report[1]);
            std::fflush(stdout);
            _exit(0);
        }
        child.input = child.output = master;
    } else {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) std::abort();
        child.pid = fork();
        if (child.pid == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            close(report[0]);
            body(report[1]);
            std::fflush(stdout);
            _exit(0);
        }
        close(in[0]);
        close(out[1]);
        child.input = in[1];
        child.output = out[0];
    }
    close(report[1]);
    child.report = report[0];
    return child;
}

// Reads from fd until `done(text)` holds, end of file, or the deadline.
inline std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& done)
{
    std::string text;
    const long long deadline = NowMs() + kDeadlineMs;
    while (!done(text)) {
        long long left = deadline - NowMs();
        if (left <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[512];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of file (EIO on a pty master once the child is gone)
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

inline std::string ReadAll(int fd)
{
    return ReadUntil(fd, [](const std::string&) { return false; });
}

inline std::string ReadContaining(int fd, const std::string& marker)
{
    return ReadUntil(fd, [&](const std::string& t) { return t.find(marker) != std::string::npos; });
}

// Waits for the child to end, killing it after the deadline. Returns the wait
// status; `timed_out` tells whether it had to be killed.
inline int WaitForExit(const Child& child, bool* timed_out = nullptr)
{
    int status = 0;
    bool killed = false;
    const long long deadline = NowMs() + kDeadlineMs;
    for (;;) {
        pid_t r = waitpid(child.pid, &status, WNOHANG);
        if (r == child.pid || r < 0) break;
        if (NowMs() > deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            killed = true;
            break;
        }
        SleepMs(5);
    }
    if (timed_out) *timed_out = killed;
    return status;
}

inline void CloseChild(Child& child)
{
    if (child.input >= 0) close(child.input);
    if (child.output >= 0 && child.output != child.input) close(child.output);
    if (child.report >= 0) close(child.report);
    child.input = child.output = child.report = -1;
}

inline int Finish(Child& child, bool* timed_out = nullptr)
{
    int status = WaitForExit(child, timed_out);
    CloseChild(child);
    return status;
}

// One run through pipes: the child's input is `input` followed by end of input.
struct PipeRun {
    std::string output;  // everything the child printed
    std::string report;  // what the body reported
    int status = 0;
    bool timed_out = false;
};

inline PipeRun RunWithInput(const std::string& input, const std::function<std::string()>& body)
{
    Child child = Spawn(
        [&](int report_fd) {
            std::string r = body();
            std::fflush(stdout);
            WriteAllTo(report_fd, r);
        },
        false);
    signal(SIGPIPE, SIG_IGN);  // a child that stops reading early must not end the test
    WriteAllTo(child.input, input);
    close(child.input);
    child.input = -1;
    PipeRun run;
    run.output = ReadAll(child.output);
    run.report = ReadAll(child.report);
    run.status = Finish(child, &run.timed_out);
    return run;
}

}  // namespace console_test

// The CTRL-C/SIGTERM abort and the key wait, end to end in child processes.
#include <csignal>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/console.h"
#include "tests/support/console_child.h"

using namespace console_test;

namespace {

const char kNotice[] = "<< CTRL-C key abort >>";

bool HasSize(const std::string& text, size_t n)
{
    return text.size() >= n;
}

TEST(ConsoleAbort, FirstSignalSetsFlagSecondEndsProcess)
{
    const struct {
        int signal_number;
        std::string notice;
    } cases[] = {{SIGINT, kNotice}, {SIGTERM, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal_number);
        Child child = Spawn(
            [](int report) {
                WriteAllTo(report, AbortPending() ? "1" : "0");
                while (!AbortPending()) SleepMs(1);
                WriteAllTo(report, AbortPending() ? "1" : "0");  // stays set
                for (;;) pause();
            },
            false);
        EXPECT_EQ(ReadUntil(child.report, [](const std::string& t) { return HasSize(t, 1); }), "0");
        kill(child.pid, c.signal_number);
        EXPECT_EQ(ReadUntil(child.report, [](const std::string& t) { return HasSize(t, 1); }), "1");
        kill(child.pid, c.signal_number);
        bool timed_out = false;
        int status = WaitForExit(child, &timed_out);
        EXPECT_FALSE(timed_out);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal_number);
        EXPECT_EQ(ReadAll(child.output), c.notice);  // and no installation failure message
        CloseChild(child);
    }
}

TEST(ConsoleAbort, InterruptBeforeFirstCheckEndsProcess)
{
    Child child = Spawn(
        [](int report) {
            WriteAllTo(report, "R");
            for (;;) pause();
        },
        false);
    EXPECT_EQ(ReadUntil(child.report, [](const std::string& t) { return HasSize(t, 1); }), "R");
    kill(child.pid, SIGINT);
    int status = Finish(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
}

// ---------------------------------------------------------------------------
// Key wait through a pseudo-terminal

struct termios MasterSettings(int master)
{
    struct termios t;
    std::memset(&t, 0, sizeof t);
    tcgetattr(master, &t);
    return t;
}

// Waits until the child has put its terminal into key-wait mode.
bool WaitForKeyMode(int master)
{
    const long long deadline = NowMs() + kDeadlineMs;
    while (NowMs() < deadline) {
        if (!(MasterSettings(master).c_lflag & ICANON)) return true;
        SleepMs(5);
    }
    return false;
}

bool SameSettings(const struct termios& a, const struct termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Child body: one key wait on its terminal, then reports whether the settings
// came back and the abort flag.
void KeyWaitBody(int report, bool install_handler)
{
    if (install_handler) AbortPending();
    struct termios before, after;
    tcgetattr(STDIN_FILENO, &before);
    WaitForKey();
    tcgetattr(STDIN_FILENO, &after);
    std::string result = SameSettings(before, after) ? "restored" : "changed";
    result += AbortPending() ? " abort" : " no-abort";
    WriteAllTo(report, result);
}

TEST(ConsoleKeyWait, TerminalTakesOneKeyWithoutEnterOrSignal)
{
    const struct {
        const char* key;
        bool install_handler;
    } cases[] = {{"x", false}, {"\r", false}, {"\x03", false}, {"\x03", true}, {"\x1c", true}, {"\x1a", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.key[0]) << (c.install_handler ? " handler" : ""));
        const bool install = c.install_handler;
        Child child = Spawn([install](int report) { KeyWaitBody(report, install); }, true);
        ASSERT_TRUE(WaitForKeyMode(child.input));
        struct termios mode = MasterSettings(child.input);
        EXPECT_EQ(mode.c_lflag & (ECHO | ISIG | ICANON), 0u);
        WriteAllTo(child.input, c.key);  // no Enter
        EXPECT_EQ(ReadAll(child.report), "restored no-abort");
        EXPECT_EQ(ReadAll(child.output), "");  // no echo, no notice
        bool timed_out = false;
        int status = WaitForExit(child, &timed_out);
        EXPECT_FALSE(timed_out);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        CloseChild(child);
    }
}

TEST(ConsoleKeyWait, TerminalRestoredWhenTerminatedDuringWait)
{
    Child child = Spawn([](int report) { KeyWaitBody(report, false); }, true);
    ASSERT_TRUE(WaitForKeyMode(child.input));
    kill(child.pid, SIGTERM);
    int status = WaitForExit(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    struct termios now = MasterSettings(child.input);
    EXPECT_EQ(now.c_lflag & (ECHO | ISIG | ICANON), static_cast<tcflag_t>(ECHO | ISIG | ICANON));
    CloseChild(child);
}

TEST(ConsoleKeyWait, InterruptDuringWaitAbortsAndEndsWait)
{
    Child child = Spawn([](int report) { KeyWaitBody(report, true); }, true);
    ASSERT_TRUE(WaitForKeyMode(child.input));
    kill(child.pid, SIGINT);
    EXPECT_EQ(ReadAll(child.report), "restored abort");
    EXPECT_EQ(ReadAll(child.output), kNotice);
    int status = WaitForExit(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CloseChild(child);
}

TEST(ConsoleKeyWait, WithoutTerminalReadsOneByte)
{
    const struct {
        const char* input;
        const char* rest;
    } cases[] = {{"ab", "b"}, {"\nb", "b"}, {"", ""}};
    for (const auto& c : cases) {
        PipeRun run = RunWithInput(c.input, [] {
            WaitForKey();
            std::string rest;
            for (int ch = NextInputChar(); ch != EOF; ch = NextInputChar()) rest += static_cast<char>(ch);
            return rest;
        });
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.report, c.rest) << c.input;
    }

    PipeRun run = RunWithInput("ignored", [] {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        WaitForKey();
        return std::string("done");
    });
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.report, "done");
}

}  // namespace

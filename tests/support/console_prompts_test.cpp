// The prompts, readers and printers, driven through a pipe in a child process.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/console.h"
#include "tests/support/console_child.h"

using console_test::PipeRun;
using console_test::RunWithInput;

namespace {

// What is left of the input after the call, as text ("" at end of input).
std::string Rest()
{
    std::string rest;
    for (int c = NextInputChar(); c != EOF; c = NextInputChar()) rest += static_cast<char>(c);
    return rest;
}

void ExpectClean(const PipeRun& run)
{
    EXPECT_FALSE(run.timed_out) << "the child hung";
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
}

struct DecimalCase {
    const char* input;
    int max_chars;
    int32_t shown, minimum, maximum;
    std::string expected;  // "<result> <value> |<rest of input>"
    const char* output;    // nullptr: not checked
};

TEST(ConsolePrompts, PromptDecimal)
{
    const DecimalCase cases[] = {
        {"\nX", 5, 25, -100, 100, "1 25 |X", "N (25): \n"},
        {"-3\n", 5, 25, -100, 100, "1 -3 |", "N (25): -3\n"},
        {"12\n3\n", 5, 5, 1, 10, "1 3 |", "N (5): 12\nN (12): 3\n"},
        {"-\n", 5, 25, -100, 100, "1 -25 |", nullptr},  // a sign alone negates the value shown
        {"7\x1bX", 5, 25, -100, 100, "0 25 |X", "N (25): 7  Aborted\n\n"},
        {"", 5, 25, -100, 100, "0 25 |", "N (25):   Aborted\n\n"},
        {"12", 5, 25, -100, 100, "0 25 |", nullptr},
        {"55\n", 5, 25, 1, 10, "0 25 |", nullptr},  // out of bounds, then end of input
        {"-\b7\n", 5, 25, -100, 100, "1 7 |", "N (25): -\b \b7\n"},
        {"12\b3\n", 5, 25, -100, 100, "1 13 |", nullptr},
        {"12-\n", 5, 25, -100, 100, "1 -12 |", nullptr},
        {"12-\b\n", 5, 25, -100, 100, "1 12 |", nullptr},  // backspace erases the late sign
        {"12-\b\b\n", 5, 25, -100, 100, "1 1 |", nullptr},
        {"123\n", 2, 25, -100, 100, "1 12 |", "N (25): 12\n"},
        {"a1b\n", 5, 25, -100, 100, "1 1 |", nullptr},
        {"-2147483648\n", 12, 0, INT32_MIN, INT32_MAX, "1 -2147483648 |", nullptr},
        {"99999999999\n", 12, 0, INT32_MIN, INT32_MAX, "1 999999999 |", nullptr},
        {"-\n", 5, INT32_MIN, INT32_MIN, INT32_MAX, "0 -2147483648 |", nullptr},  // no overflow on negation
    };
    for (const DecimalCase& c : cases) {
        SCOPED_TRACE(c.input);
        PipeRun run = RunWithInput(c.input, [&] {
            int32_t value = c.shown;
            int result = PromptDecimal("N", c.max_chars, &value, c.minimum, c.maximum);
            return std::to_string(result) + " " + std::to_string(value) + " |" + Rest();
        });
        ExpectClean(run);
        EXPECT_EQ(run.report, c.expected);
        if (c.output) {
            EXPECT_EQ(run.output.substr(0, std::strlen(c.output)), c.output);
        }
    }
}

struct HexCase {
    const char* input;
    int limit;
    std::string expected;  // "<result> <value> |<rest of input>"
    const char* output;
};

TEST(ConsolePrompts, PromptHexValue)
{
    const HexCase cases[] = {
        {"1fZ", 2, "1 31 |Z", "H (enter hex, up to 2 chars):1f\n"},  // ends at the second digit
        {"a\nZ", 4, "1 10 |Z", "H (enter hex, up to 4 chars):a\n"},
        {"\n", 4, "1 0 |", nullptr},
        {"1\bF\n", 2, "1 15 |", "H (enter hex, up to 2 chars):1\b \bF\n"},
        {"xg1\n", 4, "1 1 |", nullptr},
        {"FFFFFFFF", 8, "1 -1 |", nullptr},
        {"123456789", 9, "1 591751049 |", nullptr},  // keeps the last eight digits
        {"1\x1bZ", 4, "0 -7 |Z", "H (enter hex, up to 4 chars):1  Aborted\n\n"},
        {"1", 4, "0 -7 |", nullptr},
    };
    for (const HexCase& c : cases) {
        SCOPED_TRACE(c.input);
        PipeRun run = RunWithInput(c.input, [&] {
            int32_t value = -7;
            int result = PromptHexValue("H", c.limit, &value);
            return std::to_string(result) + " " + std::to_string(value) + " |" + Rest();
        });
        ExpectClean(run);
        EXPECT_EQ(run.report, c.expected);
        if (c.output) {
            EXPECT_EQ(run.output, c.output);
        }
    }
}

struct TextCase {
    std::string input;
    std::string initial;  // the default
    int minimum, maximum;
    std::string expected;  // "<result> <buffer> |<rest of input>"
};

TEST(ConsolePrompts, PromptText)
{
    const std::string long_default(90, 'd');
    const TextCase cases[] = {
        {"\nX", "abc", 0, 10, "3 abc |X"},
        {"\nxy\nz\nX", "abc", 3, 10, "3 xyz |X"},  // Enter ignored until three are typed
        {"x\b\n", "abc", 0, 10, "3 abc |"},        // default restored after an erased key
        {"wxyz\b\b\b\b\n", "abc", 0, 10, "3 abc |"},
        {"xy\n", "abc", 0, 10, "2 xyc |"},  // typed characters overwrite in place
        {"xyz\n", "abc", 0, 2, "2 xyc |"},
        {"\n\n", "abc", 3, 10, "-1 abc |"},  // default not above the minimum: Enter ignored, then end of input
        {"\n", "", 0, 10, "0  |"},
        {"x\x1bZ", "abc", 0, 10, "-1 xbc |Z"},
        {"", "abc", 0, 10, "-1 abc |"},
        {"xy", "abc", 0, 10, "-1 xyc |"},
        {"\n", long_default, 0, 150, "90 " + long_default + " |"},
        {"x\b\n", long_default, 0, 150, "90 " + long_default + " |"},
        // Typed past the saved part and erased: Enter alone is ignored.
        {std::string(85, 'x') + std::string(85, '\b') + "\nq\n", long_default, 0, 150,
         "1 q" + std::string(84, 'x') + std::string(5, 'd') + " |"},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        PipeRun run = RunWithInput(c.input, [&] {
            char buffer[200] = {};
            std::strcpy(buffer, c.initial.c_str());
            int result = PromptText("T", buffer, c.minimum, c.maximum);
            return std::to_string(result) + " " + buffer + " |" + Rest();
        });
        ExpectClean(run);
        EXPECT_EQ(run.report, c.expected);
    }
}

TEST(ConsolePrompts, PromptTextOutput)
{
    PipeRun run = RunWithInput("x\bq\n", [] {
        char buffer[16] = "abc";
        PromptText("Name", buffer, 0, 10);
        return std::string();
    });
    EXPECT_EQ(run.output, "Name (abc): x\b \bq\n");

    const std::string long_default(30, 'd');
    run = RunWithInput("\x1b", [&] {
        char buffer[64];
        std::strcpy(buffer, long_default.c_str());
        PromptText("Name", buffer, 0, 40);
        return std::string();
    });
    EXPECT_EQ(run.output, "Name (" + long_default + "):\n\n");
}

TEST(ConsolePrompts, HexCharValue)
{
    const struct {
        char c;
        int value;
    } cases[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10}, {'f', 15},
                 {'g', 0}, {'G', 0}, {' ', 0}, {'/', 0}, {':', 0}, {'@', 0}};
    for (const auto& c : cases) EXPECT_EQ(HexCharValue(c.c), c.value) << c.c;
}

struct BytesCase {
    std::string input;
    int capacity, mode;
    std::string expected;  // "<count> <bytes as %02X> |<rest of input>"
};

TEST(ConsolePrompts, ReadInputBytes)
{
    const BytesCase cases[] = {
        {"  ab c\tZ", 16, 0, "6 202061622063 |Z"},  // spaces are data, a tab ends the run
        {"\n\tab\nZ", 16, 0, "2 6162 |Z"},          // other white space first is skipped
        {"abcdef\n", 3, 0, "3 616263 |ef\n"},       // the character that finds it full is dropped
        {"ab", 16, 0, "2 6162 |"},
        {"", 16, 0, "0  |"},
        {"\n\n", 16, 0, "0  |"},
        {"1F 0a\nZ", 16, 1, "2 1F0A |Z"},
        {"\n 1f\n", 16, 1, "1 1F |"},
        {"1", 16, 1, "1 01 |"},
        {"0102\nZ", 1, 1, "1 01 |Z"},
        {"zz 7\n", 16, 1, "2 0007 |"},  // not hexadecimal: strtol gives 0
        {"1\n2\n", 16, 1, "2 0102 |"},  // the second character is taken whatever it is
    };
    for (const BytesCase& c : cases) {
        SCOPED_TRACE(c.input);
        PipeRun run = RunWithInput(c.input, [&] {
            uint8_t buffer[32] = {};
            int count = ReadInputBytes(buffer, c.capacity, c.mode);
            std::string hex;
            char two[3];
            for (int i = 0; i < count; ++i) {
                std::snprintf(two, sizeof two, "%02X", buffer[i]);
                hex += two;
            }
            return std::to_string(count) + " " + hex + " |" + Rest();
        });
        ExpectClean(run);
        EXPECT_EQ(run.report, c.expected);
    }
}

TEST(ConsolePrinters, Layouts)
{
    uint8_t bytes[17];
    for (int i = 0; i < 17; ++i) bytes[i] = static_cast<uint8_t>(i * 15);
    const uint8_t serial[8] = {0x28, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xA1};
    const uint8_t text[3] = {'h', 0, 'i'};

    PipeRun run = RunWithInput("", [&] {
        DumpBytesHex(bytes, 17);
        std::printf("|");
        DumpBytesHex(bytes, 0);
        std::printf("|");
        ShowSerialNumber(serial);
        std::printf("|");
        EchoBytesAsChars(text, 3);
        return std::string();
    });
    EXPECT_EQ(run.output,
              "\n  00.0F.1E.2D.3C.4B.5A.69.78.87.96.A5.B4.C3.D2.E1\n  F0\n"
              "|\n"
              "|A10605040302" "0128"
              "|" + std::string("h\0i", 3));
}

TEST(ConsolePrinters, QuitWithMessage)
{
    PipeRun run = RunWithInput("", []() -> std::string {
        std::printf("pending ");  // buffered output is flushed by the exit
        QuitWithMessage("bye", 3);
    });
    EXPECT_EQ(run.output, "pending bye\n");
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 3);
}

}  // namespace

#include "support/errors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <cstdlib>
#include <cstring>
// No open_memstream on Windows: a temporary file, read back when closed.
namespace {
struct MemoryStream {
    FILE* file;
    char** text;
    size_t* size;
} g_memory_stream;
FILE* open_memstream(char** text, size_t* size)
{
    g_memory_stream = MemoryStream{std::tmpfile(), text, size};
    return g_memory_stream.file;
}
int CloseMemoryStream(FILE* file)
{
    if (file == g_memory_stream.file) {
        std::string all;
        std::rewind(file);
        for (int c; (c = std::fgetc(file)) != EOF;) all += static_cast<char>(c);
        *g_memory_stream.text = static_cast<char*>(std::malloc(all.size() + 1));
        std::memcpy(*g_memory_stream.text, all.c_str(), all.size() + 1);
        *g_memory_stream.size = all.size();
    }
    return std::fclose(file);
}
}  // namespace
#define fclose CloseMemoryStream
#endif

namespace {

class ErrorStackTest : public ::testing::Test {
protected:
    void SetUp() override { ErrorStackResetForTest(); }

    // Drains like the logger's port opening and returns what it printed.
    static std::string Drain()
    {
        char* text = nullptr;
        size_t size = 0;
        FILE* stream = open_memstream(&text, &size);
        while (ErrorCodePending())
            ReportErrorToStream(stream);
        fclose(stream);
        std::string out(text, size);
        free(text);
        return out;
    }
};

TEST_F(ErrorStackTest, EmptyAtStart)
{
    EXPECT_EQ(ErrorCodePending(), 0);
    EXPECT_EQ(PopErrorCode(), 0);
}

TEST_F(ErrorStackTest, DrainsNewestFirstWithDocumentedLines)
{
    PushErrorCode(23);
    EXPECT_EQ(Drain(), "Error 23: Failed to acquire a necessary system resource\r\n");
    EXPECT_EQ(ErrorCodePending(), 0);

    PushErrorCode(110);
    PushErrorCode(24);
    EXPECT_EQ(Drain(),
              "Error 24: Failed to initialize system resource\r\n"
              "Error 110: Error communicating with 1-Wire adapter\r\n");
}

TEST_F(ErrorStackTest, EleventhPushOverwritesOldest)
{
    for (int code = 1; code <= 11; ++code)
        PushErrorCode(code);
    std::vector<int> popped;
    while (ErrorCodePending())
        popped.push_back(PopErrorCode());
    EXPECT_EQ(popped, (std::vector<int>{11, 10, 9, 8, 7, 6, 5, 4, 3, 2}));
}

TEST_F(ErrorStackTest, RingPositionMovesButBehaviourHolds)
{
    PushErrorCode(5);
    EXPECT_EQ(PopErrorCode(), 5);
    PushErrorCode(6);
    EXPECT_EQ(PopErrorCode(), 6);
    EXPECT_EQ(PopErrorCode(), 0);

    ErrorStackResetForTest();
    EXPECT_EQ(PopErrorCode(), 0);  // moves the top back to slot 9
    PushErrorCode(7);
    EXPECT_EQ(PopErrorCode(), 7);
}

TEST_F(ErrorStackTest, ClearTopEmptiesOnlyTopSlot)
{
    PushErrorCode(1);
    PushErrorCode(2);
    ClearTopErrorCode();
    EXPECT_EQ(ErrorCodePending(), 0);
    EXPECT_EQ(PopErrorCode(), 0);
    EXPECT_EQ(PopErrorCode(), 1);
}

TEST_F(ErrorStackTest, ReportOfEmptyStackNamesCodeZero)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&text, &size);
    ReportErrorToStream(stream);
    fclose(stream);
    EXPECT_EQ(std::string(text, size), "Error 0: No Error Was Set\r\n");
    free(text);
}

// The named codes keep the numbers and texts the event log prints.
TEST_F(ErrorStackTest, NamedCodesPrintTheirNumbersAndTexts)
{
    const std::vector<std::pair<ErrorCode, std::string>> rows = {
        {ERROR_NO_DEVICES, "Error 1: No Devices found on 1-Wire Network"},
        {ERROR_RESET_FAILED, "Error 2: 1-Wire Net Reset Failed"},
        {ERROR_ACCESS_FAILED, "Error 4: Access Failed: Could not select device"},
        {ERROR_BLOCK_TOO_LARGE, "Error 11: Data Block Too Large"},
        {ERROR_BLOCK_TRANSFER, "Error 12: Block Transfer failed"},
        {ERROR_PROGRAM_PULSE, "Error 13: Program Pulse Failed"},
        {ERROR_WRITE_BYTE, "Error 15: Write Byte Failed"},
        {ERROR_WRITE_VERIFY, "Error 17: Write Verify Failed"},
        {ERROR_CRC, "Error 22: CRC Failed"},
        {ERROR_ACQUIRE_RESOURCE, "Error 23: Failed to acquire a necessary system resource"},
        {ERROR_INITIALIZE_RESOURCE, "Error 24: Failed to initialize system resource"},
        {ERROR_FUNCTION_UNSUPPORTED, "Error 72: Function not supported to modify attributes."},
        {ERROR_SHORTED, "Error 109: 1-Wire is shorted"},
        {ERROR_ADAPTER_COMMUNICATION, "Error 110: Error communicating with 1-Wire adapter"},
        {ERROR_PORT_OUT_OF_RANGE, "Error 115: Port number is outside (0,MAX_PORTNUM) interval"},
    };
    for (const auto& [code, line] : rows) {
        ErrorStackResetForTest();
        PushErrorCode(code);
        EXPECT_EQ(Drain(), line + "\r\n") << code;
    }
}

TEST(ErrorTextTest, TableRowsAndOutOfRangeCodes)
{
    const std::vector<std::pair<int, std::string>> rows = {
        {0, "No Error Was Set"},
        {1, "No Devices found on 1-Wire Network"},
        {11, "Data Block Too Large"},
        {32, "Address read back from scrachpad was incorrect"},
        {69, "There is not enough space availabe."},
        {100, "Unrecoverable, catastrophic service failure occured."},
        {109, "1-Wire is shorted"},
        {115, "Port number is outside (0,MAX_PORTNUM) interval"},
        {116, "Level of the 1-Wire was not changed"},
    };
    for (const auto& [code, text] : rows)
        EXPECT_EQ(ErrorCodeText(code), text) << code;
    EXPECT_STREQ(ErrorCodeText(-1), "Unknown error code");
    EXPECT_STREQ(ErrorCodeText(117), "Unknown error code");
    EXPECT_STREQ(ErrorCodeText(2147483647), "Unknown error code");
}

}  // namespace

#include "support/errors.h"

#include <array>

namespace {

constexpr std::array<const char*, ERROR_CODE_COUNT> ErrorTextTable = {
    /*   0 */ "No Error Was Set",
    /*   1 */ "No Devices found on 1-Wire Network",
    /*   2 */ "1-Wire Net Reset Failed",
    /*   3 */ "Search ROM Error: Couldn't locate next device on 1-Wire",
    /*   4 */ "Access Failed: Could not select device",
    /*   5 */ "DS2480B Adapter Not Detected",
    /*   6 */ "DS2480B: Wrong Baud",
    /*   7 */ "DS2480B: Bad Response",
    /*   8 */ "Open COM Failed",
    /*   9 */ "Write COM Failed",
    /*  10 */ "Read COM Failed",
    /*  11 */ "Data Block Too Large",
    /*  12 */ "Block Transfer failed",
    /*  13 */ "Program Pulse Failed",
    /*  14 */ "Program Byte Failed",
    /*  15 */ "Write Byte Failed",
    /*  16 */ "Read Byte Failed",
    /*  17 */ "Write Verify Failed",
    /*  18 */ "Read Verify Failed",
    /*  19 */ "Write Scratchpad Failed",
    /*  20 */ "Copy Scratchpad Failed",
    /*  21 */ "Incorrect CRC Length",
    /*  22 */ "CRC Failed",
    /*  23 */ "Failed to acquire a necessary system resource",
    /*  24 */ "Failed to initialize system resource",
    /*  25 */ "Data too long to fit on specified device.",
    /*  26 */ "Read exceeds memory bank end.",
    /*  27 */ "Write exceeds memory bank end.",
    /*  28 */ "Device select failed",
    /*  29 */ "Read Scratch Pad verify failed.",
    /*  30 */ "Copy scratchpad complete not found",
    /*  31 */ "Erase scratchpad complete not found",
    /*  32 */ "Address read back from scrachpad was incorrect",
    /*  33 */ "Read page with extra-info not supported by this memory bank",
    /*  34 */ "Read page packet with extra-info not supported by this memory bank",
    /*  35 */ "Length of packet requested exceeds page size",
    /*  36 */ "Invalid length in packet",
    /*  37 */ "Program pulse required but not available",
    /*  38 */ "Trying to access a read-only memory bank",
    /*  39 */ "Current bank is not general purpose memory",
    /*  40 */ "Read back from write compare is incorrect, page may be locked",
    /*  41 */ "Invalid page number for this memory bank",
    /*  42 */ "Read page with CRC not supported by this memory bank",
    /*  43 */ "Read page with CRC and extra-info not supported by this memory bank",
    /*  44 */ "Read back from write incorrect, could not lock page",
    /*  45 */ "Read back from write incorrect, could not lock redirect byte",
    /*  46 */ "The read of the status was not completed.",
    /*  47 */ "Page redirection not supported by this memory bank",
    /*  48 */ "Lock Page redirection not supported by this memory bank",
    /*  49 */ "Read back byte on EPROM programming did not match.",
    /*  50 */ "Can not write to a page that is locked.",
    /*  51 */ "Can not lock a redirected page that has already been locked.",
    /*  52 */ "Trying to redirect a locked redirected page.",
    /*  53 */ "Trying to lock a page that is already locked.",
    /*  54 */ "Trying to write to a memory bank that is write protected.",
    /*  55 */ "Error due to not matching MAC.",
    /*  56 */ "Memory Bank is write protected.",
    /*  57 */ "Secret is write protected, can not Load First Secret.",
    /*  58 */ "Error in Reading Scratchpad after Computing Next Secret.",
    /*  59 */ "Load Error from Loading First Secret.",
    /*  60 */ "Power delivery required but not available",
    /*  61 */ "Not a valid file name.",
    /*  62 */ "Unable to Create a Directory in this part.",
    /*  63 */ "That file already exists.",
    /*  64 */ "The directory is not empty.",
    /*  65 */ "The wrong type of part for this operation.",
    /*  66 */ "The max len for this file is too small.",
    /*  67 */ "This is not a write once bank.",
    /*  68 */ "The file can not be found.",
    /*  69 */ "There is not enough space availabe.",
    /*  70 */ "There is not a page to match that bit in the bitmap.",
    /*  71 */ "There are no jobs for EPROM parts.",
    /*  72 */ "Function not supported to modify attributes.",
    /*  73 */ "Handle is not in use.",
    /*  74 */ "Tring to read a write only file.",
    /*  75 */ "There is no handle available for use.",
    /*  76 */ "The directory provided is an invalid directory.",
    /*  77 */ "Handle does not exist.",
    /*  78 */ "Serial Number did not match with current job.",
    /*  79 */ "Can not program EPROM because a non-EPROM part on the network.",
    /*  80 */ "Write protect redirection byte is set.",
    /*  81 */ "There is an inappropriate directory length.",
    /*  82 */ "The file has already been terminated.",
    /*  83 */ "Failed to read memory page of iButton part.",
    /*  84 */ "Failed to match scratchpad of iButton part.",
    /*  85 */ "Failed to erase scratchpad of iButton part.",
    /*  86 */ "Failed to read scratchpad of iButton part.",
    /*  87 */ "Failed to execute SHA function on SHA iButton.",
    /*  88 */ "SHA iButton did not return a status completion byte.",
    /*  89 */ "Write data page failed.",
    /*  90 */ "Copy secret into secret memory pages failed.",
    /*  91 */ "Bind unique secret to iButton failed.",
    /*  92 */ "Could not install secret into user token.",
    /*  93 */ "Transaction Incomplete: signature did not match.",
    /*  94 */ "Transaction Incomplete: could not sign service data.",
    /*  95 */ "User token did not provide a valid authentication response.",
    /*  96 */ "Failed to answer a challenge on the user token.",
    /*  97 */ "Failed to create a challenge on the coprocessor.",
    /*  98 */ "Transaction Incomplete: service data was not valid.",
    /*  99 */ "Transaction Incomplete: service data was not updated.",
    /* 100 */ "Unrecoverable, catastrophic service failure occured.",
    /* 101 */ "Load First Secret from scratchpad data failed.",
    /* 102 */ "Failed to match signature of user's service data.",
    /* 103 */ "Subkey out of range for the DS1991.",
    /* 104 */ "Block ID out of range for the DS1991",
    /* 105 */ "Password is enabled",
    /* 106 */ "Password is invalid",
    /* 107 */ "This memory bank has no read only password",
    /* 108 */ "This memory bank has no read/write password",
    /* 109 */ "1-Wire is shorted",
    /* 110 */ "Error communicating with 1-Wire adapter",
    /* 111 */ "CopyScratchpad failed: Ending Offset must go to end of page",
    /* 112 */ "WriteScratchpad failed: Ending Offset must go to end of page",
    /* 113 */ "Mission can not be stopped while one is not in progress",
    /* 114 */ "Error stopping the mission",
    /* 115 */ "Port number is outside (0,MAX_PORTNUM) interval",
    /* 116 */ "Level of the 1-Wire was not changed",
};
static_assert(ErrorTextTable.size() == 117, "one message per code 0..116");
static_assert(ErrorTextTable[ERROR_CODE_COUNT - 1] != nullptr, "every row filled");

struct Ring {
    std::array<int32_t, ERROR_STACK_SLOTS> slot{};
    int32_t top = 0;
};
Ring ErrorStack;

}  // namespace

void PushErrorCode(int32_t code)
{
    ErrorStack.top = (ErrorStack.top + 1) % ERROR_STACK_SLOTS;
    ErrorStack.slot[ErrorStack.top] = code;
}

int32_t PopErrorCode()
{
    int32_t code = ErrorStack.slot[ErrorStack.top];
    ErrorStack.slot[ErrorStack.top] = 0;
    ErrorStack.top = ErrorStack.top == 0 ? ERROR_STACK_SLOTS - 1 : ErrorStack.top - 1;
    return code;
}

int ErrorCodePending()
{
    return ErrorStack.slot[ErrorStack.top] != 0 ? 1 : 0;
}

void ClearTopErrorCode()
{
    ErrorStack.slot[ErrorStack.top] = 0;
}

const char* ErrorCodeText(int32_t code)
{
    if (code < 0 || code >= ERROR_CODE_COUNT)
        return "Unknown error code";
    return ErrorTextTable[static_cast<size_t>(code)];
}

void ReportErrorToStream(FILE* stream)
{
    int32_t code = PopErrorCode();
    fprintf(stream, "Error %d: %s\r\n", code, ErrorCodeText(code));
}

void ReportErrorToConsole()
{
    ReportErrorToStream(stdout);
}

void ErrorStackResetForTest()
{
    ErrorStack = Ring{};
}

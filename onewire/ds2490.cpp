// Requests to the DS2490 through its driver.
#include "onewire/ds2490.h"

#include <cstring>

#include "onewire/adapter.h"
#include "support/clock.h"
#include "support/errors.h"

namespace {

constexpr uint8_t VENDOR_REQUEST_TYPE = 0x40;
constexpr int STATUS_REGISTER_BYTES = 16;
constexpr int MAX_RESULT_BYTES = 16;
constexpr uint32_t PULSE_STOP_LIMIT_MS = 300;
constexpr uint16_t PROGRAM_PULSE_DURATION = 0x0040;

}  // namespace

void VendorRequestBytes(const VendorRequest& request, uint8_t out[VENDOR_REQUEST_SIZE])
{
    out[0] = request.bmRequestType;
    out[1] = request.bRequest;
    out[2] = static_cast<uint8_t>(request.wValue & 0xFF);
    out[3] = static_cast<uint8_t>(request.wValue >> 8);
    out[4] = static_cast<uint8_t>(request.wIndex & 0xFF);
    out[5] = static_cast<uint8_t>(request.wIndex >> 8);
    out[6] = static_cast<uint8_t>(request.wLength & 0xFF);
    out[7] = static_cast<uint8_t>(request.wLength >> 8);
    out[8] = request.reserved;
}

int SendVendorRequest(DriverHandle handle, uint8_t kind, uint16_t value, uint16_t index)
{
    VendorRequest request{VENDOR_REQUEST_TYPE, kind, value, index, 0, 0};
    uint8_t record[VENDOR_REQUEST_SIZE];
    VendorRequestBytes(request, record);
    uint32_t returned = 0;
    return DriverIoControl(handle, VendorRequestControlCode, record, VENDOR_REQUEST_SIZE, nullptr, 0, &returned)
               ? 1
               : 0;
}

int AdapterQueryStatus(DriverHandle handle, uint8_t* status, uint8_t* resultCount)
{
    // Fields a short packet does not deliver read as zero rather than as stale bytes.
    std::memset(status, 0, AdapterStatusSize);
    uint32_t returned = 0;
    if (!DriverIoControl(handle, StatusControlCode, nullptr, 0, status, AdapterStatusSize, &returned)) {
        PushErrorCode(ERROR_ADAPTER_COMMUNICATION);
        return 0;
    }
    if (resultCount != nullptr) {
        // Callers read this many result bytes of the 32-byte buffer: keep it within 0..16.
        uint32_t count = 0;
        if (returned > static_cast<uint32_t>(AdapterStatusSize))
            count = MAX_RESULT_BYTES;
        else if (returned > static_cast<uint32_t>(STATUS_REGISTER_BYTES))
            count = returned - STATUS_REGISTER_BYTES;
        *resultCount = static_cast<uint8_t>(count);
    }
    return 1;
}

void AdapterChipReset(DriverHandle handle)
{
    SendVendorRequest(handle, REQUEST_CONTROL, CTL_RESET_DEVICE, 0);
}

int EvaluateLineStatus(DriverHandle handle, int* presence, int* programVoltage)
{
    AdapterStatus status;
    uint8_t count = 0;
    if (!AdapterQueryStatus(handle, status, &count))
        return 0;
    if (programVoltage != nullptr)
        *programVoltage = (status[STATUS_STATE_FLAGS] & ProgramVoltagePresent) ? 1 : 0;
    if (status[STATUS_PENDING_COMMANDS] != 0)
        return 0;
    const uint8_t* results = status + STATUS_RESULTS;
    for (int i = 0; i < count; ++i)
        if (results[i] != ResultDeviceDetect && (results[i] & ResultShort))
            return 0;
    int present = 1;
    for (int i = 0; i < count; ++i)
        if (results[i] != ResultDeviceDetect && (results[i] & ResultNoPresence))
            present = 0;
    if (presence != nullptr)
        *presence = present;
    return 1;
}

int StopPowerPulse(DriverHandle handle)
{
    PollDeadline poll;
    PollStart(poll, PULSE_STOP_LIMIT_MS);
    for (;;) {
        if (!SendVendorRequest(handle, REQUEST_CONTROL, CTL_HALT_EXECUTION_WHEN_IDLE, 0))
            return 0;
        if (!SendVendorRequest(handle, REQUEST_CONTROL, CTL_RESUME_EXECUTION, 0))
            return 0;
        AdapterStatus status;
        if (!AdapterQueryStatus(handle, status, nullptr))
            return 0;
        if (!(status[STATUS_STATE_FLAGS] & PulseActive)) {
            SendVendorRequest(handle, REQUEST_MODE, MODE_PULSE_ENABLE, PULSE_ENABLE_NONE);
            return 1;
        }
        if (PollExpired(poll))
            return 0;
    }
}

int PrepareAdapter(DriverHandle handle)
{
    AdapterChipReset(handle);
    SendVendorRequest(handle, REQUEST_COMMUNICATION, CMD_SET_SPU_DURATION, 0);
    SendVendorRequest(handle, REQUEST_COMMUNICATION, CMD_SET_PROGRAM_DURATION, PROGRAM_PULSE_DURATION);
    SendVendorRequest(handle, REQUEST_MODE, MODE_PULSE_ENABLE, PULSE_ENABLE_PROGRAM);
    return EvaluateLineStatus(handle, nullptr, nullptr);
}

int BulkReceive(DriverHandle handle, uint8_t* buffer, uint16_t* length)
{
    uint32_t done = 0;
    if (!DriverRead(handle, buffer, *length, &done)) {
        PushErrorCode(ERROR_ADAPTER_COMMUNICATION);
        return 0;
    }
    *length = static_cast<uint16_t>(done);
    return 1;
}

int BulkSend(DriverHandle handle, const uint8_t* buffer, uint16_t* length)
{
    uint32_t done = 0;
    if (!DriverWrite(handle, buffer, *length, &done)) {
        PushErrorCode(ERROR_ADAPTER_COMMUNICATION);
        return 0;
    }
    *length = static_cast<uint16_t>(done);
    return 1;
}

void PollStart(PollDeadline& poll, uint32_t milliseconds)
{
    uint32_t now = ClockMs();
    poll.deadline = now + milliseconds;
    poll.lastTick = now;
    poll.stalledPolls = 0;
}

int PollExpired(PollDeadline& poll)
{
    uint32_t now = ClockMs();
    if (ClockReached(now, poll.deadline))
        return 1;
    if (now != poll.lastTick) {
        poll.lastTick = now;
        poll.stalledPolls = 0;
        return 0;
    }
    return ++poll.stalledPolls >= POLL_STALL_LIMIT ? 1 : 0;
}

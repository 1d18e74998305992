// Block transfer: one block command, data through the bulk pipes in chunks.
#include "onewire/block.h"

#include <cstddef>

#include "onewire/adapter.h"
#include "onewire/ds2490.h"
#include "onewire/link.h"
#include "support/errors.h"

namespace {

constexpr int CHUNK_WAIT_QUERIES = 201;

}  // namespace

int BusBlockExchange(int port, int doReset, uint8_t* buffer, int length)
{
    if (doReset && !BusReset(port))
        return 0;
    if (length < 0 || length > BLOCK_MAX_LENGTH) {
        PushErrorCode(ERROR_BLOCK_TOO_LARGE);
        return 0;
    }
    const DriverHandle handle = PortHandle[static_cast<std::size_t>(port)];
    uint16_t remaining = static_cast<uint16_t>(length);
    uint16_t offset = 0;
    bool commandSent = false;
    while (remaining > 0) {
        const uint16_t chunk = remaining < BLOCK_CHUNK ? remaining : static_cast<uint16_t>(BLOCK_CHUNK);

        uint16_t moved = chunk;
        if (!BulkSend(handle, buffer + offset, &moved) || moved != chunk) {
            AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
            return 0;
        }
        if (!commandSent) {
            if (!AdapterCommand(port, REQUEST_COMMUNICATION, CMD_BLOCK, static_cast<uint16_t>(length))) {
                AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
                return 0;
            }
            commandSent = true;
        }

        // Wait until the adapter is idle or the chunk's reply is waiting.
        int queries = 0;
        int waiting = 0;
        for (;;) {
            AdapterStatus status;
            if (!AdapterQueryStatus(handle, status, nullptr)) {
                AdapterReinitialize(port);
                return 0;
            }
            ++queries;
            waiting = status[STATUS_INPUT_FIFO];
            PauseMs(1);
            if ((status[STATUS_STATE_FLAGS] & AdapterIdle) || waiting >= chunk || queries >= CHUNK_WAIT_QUERIES)
                break;
        }
        if (queries >= CHUNK_WAIT_QUERIES && waiting < chunk) {
            AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
            return 0;
        }

        moved = chunk;
        if (!BulkReceive(handle, buffer + offset, &moved)) {
            AdapterReinitialize(port);
            return 0;
        }
        if (moved != chunk) {
            AdapterRecover(port, ERROR_ADAPTER_COMMUNICATION);
            return 0;
        }
        remaining = static_cast<uint16_t>(remaining - chunk);
        offset = static_cast<uint16_t>(offset + chunk);
    }
    return 1;
}

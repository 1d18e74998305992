// A software adapter opened from bus-file text, driven with raw command words
// through the driver interface.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "onewire/adapter.h"  // the command words as the stack sends them
#include "onewire/driver.h"
#include "simulator/sim.h"
#include "support/clock.h"


class Rig {
public:
    // A device name such as "sim:" opens that name instead of a bus file.
    explicit Rig(const std::string& bus_text)
    {
        if (bus_text.rfind("sim:", 0) == 0) {
            Open(bus_text);
            return;
        }
        char path[] = "/tmp/simrigXXXXXX";
        int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        FILE* file = fdopen(fd, "w");
        fputs(bus_text.c_str(), file);
        fclose(file);
        path_ = path;
        Open("sim:" + path_);
    }
    void Open(const std::string& name)
    {
        DriverRegisterBackend(&SimDriverOps);
        handle = DriverOpen(name.c_str());
        EXPECT_NE(handle, INVALID_DRIVER_HANDLE);
        adapter = SimLastOpened();
    }
    ~Rig()
    {
        DriverClose(handle);
        if (!path_.empty())
            remove(path_.c_str());
        ClockInstall(nullptr);
    }

    bool Request(uint8_t kind, uint16_t value, uint16_t index)
    {
        uint8_t record[VENDOR_REQUEST_SIZE] = {0x40,
                                               kind,
                                               static_cast<uint8_t>(value),
                                               static_cast<uint8_t>(value >> 8),
                                               static_cast<uint8_t>(index),
                                               static_cast<uint8_t>(index >> 8),
                                               0,
                                               0,
                                               0};
        return DriverIoControl(handle, VendorRequestControlCode, record, VENDOR_REQUEST_SIZE, nullptr, 0,
                               nullptr) != 0;
    }
    bool Comm(uint16_t value, uint16_t index = 0) { return Request(1, value, index); }

    // The status packet; empty when refused.
    std::vector<uint8_t> Status()
    {
        uint8_t buffer[STATUS_BUFFER_SIZE]{};
        uint32_t returned = 0;
        if (!DriverIoControl(handle, StatusControlCode, nullptr, 0, buffer, STATUS_BUFFER_SIZE, &returned))
            return {};
        return std::vector<uint8_t>(buffer, buffer + returned);
    }
    // Result bytes of one status packet.
    std::vector<uint8_t> Results()
    {
        std::vector<uint8_t> status = Status();
        return status.size() > 16 ? std::vector<uint8_t>(status.begin() + 16, status.end()) : std::vector<uint8_t>{};
    }

    std::vector<uint8_t> Read(uint32_t length = 64)
    {
        std::vector<uint8_t> buffer(length);
        uint32_t done = 0;
        if (!DriverRead(handle, buffer.data(), length, &done))
            return {};
        buffer.resize(done);
        return buffer;
    }
    uint32_t Write(const std::vector<uint8_t>& bytes)
    {
        uint32_t done = 0;
        if (!DriverWrite(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &done))
            return UINT32_MAX;
        return done;
    }

    // A reset; true when a device answered (result 0xA5).
    bool Reset()
    {
        Comm(CMD_RESET, 1);
        PauseMs(5);  // the stack's settle pause
        std::vector<uint8_t> results = Results();
        return results.size() == 1 && results[0] == 0xA5;
    }
    uint8_t Byte(uint8_t byte)
    {
        Comm(CMD_BYTE, byte);
        std::vector<uint8_t> read = Read(1);
        return read.size() == 1 ? read[0] : 0xEE;
    }
    // A block exchange; the bytes read back.
    std::vector<uint8_t> Block(const std::vector<uint8_t>& bytes)
    {
        Write(bytes);
        Comm(CMD_BLOCK, static_cast<uint16_t>(bytes.size()));
        // With the timing model on, the bytes arrive as they complete.
        for (int i = 0; i < 300; ++i) {
            std::vector<uint8_t> status = Status();
            if (status.empty() || status[13] >= bytes.size() || (status[8] & 0x20))
                break;
            PauseMs(1);
        }
        return Read(static_cast<uint32_t>(bytes.size()));
    }
    // Reset, Match ROM, Read Scratchpad: the nine scratchpad bytes.
    std::vector<uint8_t> Scratchpad(const SimSerial& serial)
    {
        Reset();
        std::vector<uint8_t> match = {0x55};
        match.insert(match.end(), serial.begin(), serial.end());
        Block(match);
        std::vector<uint8_t> block = Block({0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
        return block.size() == 10 ? std::vector<uint8_t>(block.begin() + 1, block.end()) : block;
    }
    // Reset, Skip ROM, Convert T with the strong pull-up after it.
    void ConvertAll()
    {
        Reset();
        Byte(0xCC);
        Request(2, 0x0000, 0x0002);
        Comm(CMD_BYTE_SPU, 0x44);
        Read(1);
    }
    // Ends a strong pull-up the way the stack does.
    void StopPullup()
    {
        Request(0, 0x0003, 0);
        Request(0, 0x0002, 0);
        Request(2, 0x0000, 0);
    }

    DriverHandle handle = INVALID_DRIVER_HANDLE;
    SimAdapter* adapter = nullptr;

private:
    std::string path_;
};

inline SimSerial Serial(const char* text)
{
    SimSerial serial{};
    std::string error;
    EXPECT_TRUE(SimParseSerial(text, &serial, &error)) << error;
    return serial;
}

// A window for the channel's tests: records each chunk the reader hands over
// and counts the losses it is told.
#pragma once

#include "framework/Host.h"
#include "link/Comm.h"

#include <cstdint>
#include <vector>

struct ChunkRecorder : fw::Window {
    CComm* comm = nullptr;
    std::vector<std::size_t> sizes;
    std::vector<std::uint8_t> bytes;
    int lost = 0;
    void OnTimer(int) override {}
    std::intptr_t OnMessage(unsigned msg, std::uintptr_t, std::intptr_t) override {
        if (msg == WM_COMM_LOST) ++lost;
        if (msg == WM_COMM_DATA) {
            sizes.push_back(comm->ChunkLength());
            bytes.insert(bytes.end(), comm->Chunk(), comm->Chunk() + comm->ChunkLength());
        }
        return 1;
    }
    void OnCommand(int) override {}
    void OnTabSelChange() override {}
    void OnCancel() override {}
    void OnAbout() override {}
};

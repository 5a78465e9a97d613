#pragma once
// Waits for a condition that another thread brings about: polls it every
// millisecond until it holds (true) or the time-out passes (false).
#include <chrono>
#include <thread>

template <typename Pred> bool eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

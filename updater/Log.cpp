#include "Log.h"

#include <atomic>
#include <cstdarg>

namespace {
// Atomics only so that a test changing packages while a link thread logs stays defined;
// the program itself changes them before any thread starts.
std::atomic<unsigned> package_bitmask{0};
std::atomic<FILE *> fh{nullptr};
} // namespace

void Log::log(unsigned mask, const char *format, ...) {
    if (mask != 0 && (mask & package_bitmask.load(std::memory_order_relaxed)) == 0)
        return;
    FILE *out = fh.load(std::memory_order_relaxed);
    if (out == nullptr || format == nullptr)
        return;
    char buffer[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n <= 0)
        return;
    size_t len = static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
    fwrite(buffer, 1, len, out);
}

void Log::SetOutput(FILE *stream) { fh.store(stream); }

void Log::ActivatePackage(unsigned mask) { package_bitmask.fetch_or(mask); }

void Log::DeactivatePackage(unsigned mask) { package_bitmask.fetch_and(~mask); }

unsigned Log::Packages() { return package_bitmask.load(); }

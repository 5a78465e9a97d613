#pragma once
#include <cstdio>
#include <string>

#include "Log.h"

// Collects the debug log of the given packages for the life of the object.
class LogCapture {
  public:
    explicit LogCapture(unsigned mask) : mask_(mask), file_(tmpfile()) {
        Log::SetOutput(file_);
        Log::ActivatePackage(mask_);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(mask_);
        if (file_ != nullptr)
            fclose(file_);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const {
        std::string out;
        if (file_ == nullptr)
            return out;
        fflush(file_);
        rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0)
            out.append(buffer, n);
        return out;
    }

  private:
    unsigned mask_;
    FILE *file_;
};

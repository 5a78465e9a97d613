#pragma once
#include <cstdint>

#include "UpdaterDisplayInterface.h"

// Console display: info lines on standard output, error lines on standard error.
// Progress bar and spinner are drawn only when standard output is a terminal, so
// redirected output holds message lines alone. Main thread only.
class CLI_Display : public UpdaterDisplayInterface {
  public:
    // Makes stdout and stderr unbuffered so partial lines show at once and
    // interleave with error lines. Construct it before anything is printed.
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char *label) override;
    void update_spinner(bool running, const char *label) override;
    void info_message(const char *text) override;
    void error_message(const char *text) override;

  private:
    // Shared by every instance: a spinner keeps turning when a new display takes over.
    static uint8_t spinner_index;
};

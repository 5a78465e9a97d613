#include "CLI_Display.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
constexpr int kBarWidth = 69;
constexpr char kBar[] = "=====================================================================";
static_assert(sizeof kBar - 1 == kBarWidth);

// Wide enough to cover the bar with a label.
constexpr int kEraseWidth = 88;

constexpr const char *kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned kSpinnerFrameCount = sizeof kSpinnerFrames / sizeof kSpinnerFrames[0];

bool _on_terminal() { return isatty(fileno(stdout)) == 1; }

void _erase_line() { fprintf(stdout, "\r%*s\r", kEraseWidth, " "); }
} // namespace

uint8_t CLI_Display::spinner_index = 0;

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!_on_terminal() || show)
        return;
    _erase_line();
}

void CLI_Display::update_progress(double fraction, const char *label) {
    if (!_on_terminal())
        return;
    // Out-of-range or NaN fractions would make the casts below undefined.
    if (!(fraction >= 0.0))
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    int width = kBarWidth;
    if (label != nullptr) {
        size_t room = strlen(label) + 4;
        // A label too long for the line leaves a one-character bar rather than a negative width.
        width = room < static_cast<size_t>(kBarWidth) ? kBarWidth - static_cast<int>(room) : 1;
    }
    int percent = static_cast<int>(100.0 * fraction);
    int filled = static_cast<int>(width * fraction);
    // At 1.0 the blank count is -1: a negative field width left-aligns, printing one blank.
    if (label == nullptr)
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
    else
        fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool running, const char *label) {
    if (!_on_terminal())
        return;
    if (!running) {
        _erase_line();
        return;
    }
    const char *frame = kSpinnerFrames[spinner_index % kSpinnerFrameCount];
    // The blanks after the frame wipe what a longer frame left behind.
    if (label != nullptr)
        fprintf(stdout, "\r (%s) %s      \r", label, frame);
    else
        fprintf(stdout, "\r %s      \r", frame);
    spinner_index = static_cast<uint8_t>((spinner_index + 1) % kSpinnerFrameCount);
}

void CLI_Display::info_message(const char *text) { fprintf(stdout, "%s\n", text); }

void CLI_Display::error_message(const char *text) { fprintf(stderr, "%s\n", text); }

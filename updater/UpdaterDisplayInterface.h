#pragma once

// The one channel through which operations talk to the user. Main thread only.
class UpdaterDisplayInterface {
  public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    UpdaterDisplayInterface() = default;

    void mute_messages(bool mute) { muted = mute; }

    // Formats into 2048 bytes (longer text is cut to 2047 characters) and hands it
    // to error_message for LEVEL_ERROR, else info_message. No line end in format.
    void message(Level level, const char *format, ...) __attribute__((format(printf, 3, 4)));

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char *label) = 0;
    virtual void update_spinner(bool running, const char *label) = 0;
    virtual void info_message(const char *text) = 0;
    virtual void error_message(const char *text) = 0;

  protected:
    // Never deleted through the interface.
    ~UpdaterDisplayInterface() = default;

  private:
    bool muted = false;
};

// Drives CLI_Display from its arguments, one operation per word, so tests can see
// exactly what reaches a terminal or a file:
//   info:TEXT error:TEXT mute unmute show hide progress:F[:LABEL] spin[:LABEL] stop
//   use:N (N = 0 or 1: which of two displays the following words use)
#include <cstdlib>
#include <string>

#include "CLI_Display.h"

int main(int argc, char **argv) {
    CLI_Display displays[2];
    CLI_Display *display = &displays[0];
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        std::string op = word.substr(0, word.find(':'));
        std::string rest = word.find(':') == std::string::npos ? "" : word.substr(word.find(':') + 1);
        if (op == "info") {
            display->message(UpdaterDisplayInterface::LEVEL_INFO, "%s", rest.c_str());
        } else if (op == "error") {
            display->message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", rest.c_str());
        } else if (op == "mute" || op == "unmute") {
            display->mute_messages(op == "mute");
        } else if (op == "show" || op == "hide") {
            display->display_progress(op == "show");
        } else if (op == "progress") {
            std::string label = rest.find(':') == std::string::npos ? "" : rest.substr(rest.find(':') + 1);
            display->update_progress(strtod(rest.c_str(), nullptr), label.empty() ? nullptr : label.c_str());
        } else if (op == "spin" || op == "stop") {
            display->update_spinner(op == "spin", rest.empty() ? nullptr : rest.c_str());
        } else if (op == "use") {
            display = &displays[atoi(rest.c_str()) == 1 ? 1 : 0];
        } else {
            return 2;
        }
    }
    return 0;
}

// stderr for people: message lines, and on a terminal one status line kept at the bottom
// that message lines never tear apart.
#ifndef LUMO_COLLECT_CONSOLE_H
#define LUMO_COLLECT_CONSOLE_H

#include <mutex>
#include <string>

namespace lumo_collect {

class Console {
public:
    static Console &instance();
    static bool stderrIsTerminal();

    // The status line is drawn only when enabled (the tool enables it on a terminal).
    void enableStatus(bool enabled);
    void line(const std::string &text);
    void status(const std::string &text);
    void clearStatus();

private:
    void eraseStatusLocked();
    std::mutex mutex_;
    bool statusEnabled_ = false;
    std::string status_;
};

} // namespace lumo_collect

#endif

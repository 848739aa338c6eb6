// Where the tool's lines go: stderr, or a log file (--log-file, reopened on SIGHUP for
// log rotation). Every line carries a UTC timestamp and a level, as text
// ("2026-12-08T06:18:04.242Z info lumo-collect: device 000-001-234") or as one JSON object
// per line (--log-format json). On a terminal one status line is kept at the bottom of
// stderr, and message lines never tear it apart.
#ifndef LUMO_COLLECT_CONSOLE_H
#define LUMO_COLLECT_CONSOLE_H

#include "Options.h"

#include <mutex>
#include <string>

namespace lumo_collect {

enum class Level { Debug, Info, Warning, Error };

const char *levelName(Level level);
// The level of one of the tool's own lines, by how it starts ("ERROR", "warning", ...).
Level levelOfLine(const std::string &text);
// One line as written (without the newline).
std::string formatLine(LogFormat format, const std::string &time, Level level,
                       const std::string &source, const std::string &text);

class Console {
public:
    static Console &instance();
    static bool stderrIsTerminal();

    // Lines to the file (appended) instead of stderr; false with the reason when it cannot
    // be opened.
    bool configure(LogFormat format, const std::string &logFile, std::string &error);
    // Opens the log file again under its name (after it was moved away).
    bool reopen(std::string &error);
    bool logsToFile() const;
    // The status line is drawn only when enabled (the tool enables it on a terminal).
    void enableStatus(bool enabled);
    void line(const std::string &text) { line(levelOfLine(text), "lumo-collect", text); }
    void line(Level level, const std::string &source, const std::string &text);
    void status(const std::string &text);
    void clearStatus();

private:
    void eraseStatusLocked();
    void writeLocked(const std::string &text);
    mutable std::mutex mutex_;
    bool statusEnabled_ = false;
    std::string status_;
    LogFormat format_ = LogFormat::Text;
    std::string logFile_;
    int fd_ = -1; // the log file, or -1 for stderr
};

} // namespace lumo_collect

#endif

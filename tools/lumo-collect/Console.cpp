#include "Console.h"

#include "TimeText.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace lumo_collect {

namespace {
// Carriage return, then erase to the end of the line.
const char *const kEraseLine = "\r\033[K";
constexpr mode_t kLogFileMode = 0640;

int openLog(const std::string &path)
{
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogFileMode);
}

bool startsWith(const std::string &text, const char *head)
{
    return text.rfind(head, 0) == 0;
}
} // namespace

const char *levelName(Level level)
{
    switch (level) {
    case Level::Debug:
        return "debug";
    case Level::Info:
        return "info";
    case Level::Warning:
        return "warning";
    case Level::Error:
        return "error";
    }
    return "info";
}

Level levelOfLine(const std::string &text)
{
    if (startsWith(text, "ERROR") || startsWith(text, "STORAGE FAILED") ||
        startsWith(text, "not stored") || startsWith(text, "cannot "))
        return Level::Error;
    if (startsWith(text, "warning") || text.find(" FAILED") != std::string::npos)
        return Level::Warning;
    return Level::Info;
}

std::string formatLine(LogFormat format, const std::string &time, Level level,
                       const std::string &source, const std::string &text)
{
    if (format == LogFormat::Text)
        return time + " " + levelName(level) + " " + source + ": " + text;
    QJsonObject o;
    o["time"] = QString::fromStdString(time);
    o["level"] = levelName(level);
    o["source"] = QString::fromStdString(source);
    o["message"] = QString::fromStdString(text);
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

Console &Console::instance()
{
    static Console console;
    return console;
}

bool Console::stderrIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

bool Console::configure(LogFormat format, const std::string &logFile, std::string &error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    format_ = format;
    if (logFile.empty())
        return true;
    const int fd = openLog(logFile);
    if (fd < 0) {
        error = "cannot open the log file " + logFile + ": " + std::strerror(errno);
        return false;
    }
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
    logFile_ = logFile;
    return true;
}

bool Console::reopen(std::string &error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0)
        return true;
    const int fd = openLog(logFile_);
    if (fd < 0) {
        // Keep writing to the old file rather than lose lines.
        error = "cannot open the log file " + logFile_ + " again: " + std::strerror(errno);
        return false;
    }
    ::close(fd_);
    fd_ = fd;
    return true;
}

bool Console::logsToFile() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0;
}

void Console::enableStatus(bool enabled)
{
    std::lock_guard<std::mutex> lock(mutex_);
    statusEnabled_ = enabled && fd_ < 0;
}

void Console::eraseStatusLocked()
{
    if (!status_.empty())
        std::fputs(kEraseLine, stderr);
}

void Console::writeLocked(const std::string &text)
{
    // One write per line: appends of several writers and a rotation never split a line.
    const std::string whole = text + "\n";
    std::size_t done = 0;
    while (done < whole.size()) {
        const ssize_t n = ::write(fd_, whole.data() + done, whole.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere left to say it
        done += static_cast<std::size_t>(n);
    }
}

void Console::line(Level level, const std::string &source, const std::string &text)
{
    const std::string formatted = formatLine(format_, utcNow(), level, source, text);
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) {
        writeLocked(formatted);
        return;
    }
    eraseStatusLocked();
    std::fprintf(stderr, "%s\n", formatted.c_str());
    if (!status_.empty())
        std::fputs(status_.c_str(), stderr);
    std::fflush(stderr);
}

void Console::status(const std::string &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!statusEnabled_)
        return;
    eraseStatusLocked();
    status_ = text;
    std::fputs(status_.c_str(), stderr);
    std::fflush(stderr);
}

void Console::clearStatus()
{
    std::lock_guard<std::mutex> lock(mutex_);
    eraseStatusLocked();
    status_.clear();
    std::fflush(stderr);
}

} // namespace lumo_collect

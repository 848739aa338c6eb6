#include "Console.h"

#include <cstdio>
#include <unistd.h>

namespace lumo_collect {

namespace {
// Carriage return, then erase to the end of the line.
const char *const kEraseLine = "\r\033[K";
} // namespace

Console &Console::instance()
{
    static Console console;
    return console;
}

bool Console::stderrIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

void Console::enableStatus(bool enabled)
{
    std::lock_guard<std::mutex> lock(mutex_);
    statusEnabled_ = enabled;
}

void Console::eraseStatusLocked()
{
    if (!status_.empty())
        std::fputs(kEraseLine, stderr);
}

void Console::line(const std::string &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    eraseStatusLocked();
    std::fprintf(stderr, "%s\n", text.c_str());
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

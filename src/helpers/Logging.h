// Logging through the Qt message log, category "default", without source location.
//
// Each macro checks the category's level first, so a line that the host switched off
// through Qt's logging rules is never built (frame hex dumps are the costly ones):
//   LUMO_INFO << "Protocol::send command:" << hex;
#ifndef LIBLUMO_HELPERS_LOGGING_H
#define LIBLUMO_HELPERS_LOGGING_H

#include <QDebug>
#include <QLoggingCategory>
#include <QMessageLogger>

#include <chrono>
#include <cstdint>

namespace liblumo::log {

inline const QLoggingCategory &category()
{
    return *QLoggingCategory::defaultCategory();
}
inline bool debugEnabled()
{
    return category().isDebugEnabled();
}
inline bool infoEnabled()
{
    return category().isInfoEnabled();
}
inline bool criticalEnabled()
{
    return category().isCriticalEnabled();
}

// Bytes as uppercase hexadecimal between double quotes, the text QDebug writes for a
// quoted data.toHex().toUpper(), made in one pass. Streamed after noquote() as a
// QLatin1String it costs a sixth of that: frame dumps are the log's largest lines.
inline QByteArray quotedHex(const char *data, int size)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    constexpr int kQuotes = 2;
    const int count = size > 0 ? size : 0;
    QByteArray text(count * 2 + kQuotes, Qt::Uninitialized);
    char *out = text.data();
    *out++ = '"';
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        *out++ = kDigits[byte >> 4];
        *out++ = kDigits[byte & 0x0F];
    }
    *out = '"';
    return text;
}
inline QByteArray quotedHex(const QByteArray &data)
{
    return quotedHex(data.constData(), int(data.size()));
}

// The separator that opens every device command in the log: 81 '-'.
inline const char *separator()
{
    return "---------------------------------------------------------------------------------";
}

// Lets at most `burst` lines through per window of `windowMs`, so that a peer sending
// nothing but bad input cannot flood the log. The first line of a new window reports how
// many were held back in the one before (suppressedSinceLast).
class LogBudget {
public:
    LogBudget(int burst, int windowMs) : burst(burst), windowMs(windowMs) {}

    bool allow()
    {
        return allow(std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count());
    }
    // The same on a clock of the caller's (milliseconds), so a virtual clock rules it too.
    bool allow(int64_t now)
    {
        if (now - windowStart >= windowMs) {
            windowStart = now;
            used = 0;
            reported = held;
            held = 0;
        }
        if (used < burst) {
            ++used;
            return true;
        }
        ++held;
        return false;
    }
    // Lines held back in the previous window, once.
    int suppressedSinceLast()
    {
        const int count = reported;
        reported = 0;
        return count;
    }

private:
    const int burst;
    const int windowMs;
    int64_t windowStart = INT64_MIN / 2;
    int used = 0;
    int held = 0;
    int reported = 0;
};

} // namespace liblumo::log

// A for statement rather than an if, so the macros nest safely inside if/else.
#define LUMO_LOG_IF_ENABLED(enabled, level)                                                        \
    for (bool lumoLogOn = (enabled); lumoLogOn; lumoLogOn = false)                                 \
    QMessageLogger(nullptr, 0, nullptr).level()
#define LUMO_DEBUG LUMO_LOG_IF_ENABLED(liblumo::log::debugEnabled(), debug)
#define LUMO_INFO LUMO_LOG_IF_ENABLED(liblumo::log::infoEnabled(), info)
#define LUMO_CRITICAL LUMO_LOG_IF_ENABLED(liblumo::log::criticalEnabled(), critical)

#endif

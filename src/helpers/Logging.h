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

// The separator that opens every device command in the log: 81 '-'.
inline const char *separator()
{
    return "---------------------------------------------------------------------------------";
}

} // namespace liblumo::log

// A for statement rather than an if, so the macros nest safely inside if/else.
#define LUMO_LOG_IF_ENABLED(enabled, level)                                                        \
    for (bool lumoLogOn = (enabled); lumoLogOn; lumoLogOn = false)                                 \
    QMessageLogger(nullptr, 0, nullptr).level()
#define LUMO_DEBUG LUMO_LOG_IF_ENABLED(liblumo::log::debugEnabled(), debug)
#define LUMO_INFO LUMO_LOG_IF_ENABLED(liblumo::log::infoEnabled(), info)
#define LUMO_CRITICAL LUMO_LOG_IF_ENABLED(liblumo::log::criticalEnabled(), critical)

#endif

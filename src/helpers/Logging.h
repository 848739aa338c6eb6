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

inline const QLoggingCategory &category() { return *QLoggingCategory::defaultCategory(); }
inline bool debugEnabled() { return category().isDebugEnabled(); }
inline bool infoEnabled() { return category().isInfoEnabled(); }
inline bool criticalEnabled() { return category().isCriticalEnabled(); }

// The separator that opens every device command in the log: 81 '-'.
inline const char *separator()
{
    return "---------------------------------------------------------------------------------";
}

} // namespace liblumo::log

#define LUMO_DEBUG                                                                                 \
    if (!liblumo::log::debugEnabled()) {                                                           \
    } else                                                                                         \
        QMessageLogger(nullptr, 0, nullptr).debug()
#define LUMO_INFO                                                                                  \
    if (!liblumo::log::infoEnabled()) {                                                            \
    } else                                                                                         \
        QMessageLogger(nullptr, 0, nullptr).info()
#define LUMO_CRITICAL                                                                              \
    if (!liblumo::log::criticalEnabled()) {                                                        \
    } else                                                                                         \
        QMessageLogger(nullptr, 0, nullptr).critical()

#endif

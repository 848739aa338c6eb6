#include "LogSetup.h"

#include "Console.h"

#include <QLoggingCategory>
#include <QString>

namespace lumo_collect {

namespace {

void printMessage(QtMsgType type, const QMessageLogContext & /*context*/, const QString &message)
{
    Console::instance().line(formatLogLine(type, message));
}

} // namespace

std::string logFilterRules(int verbosity)
{
    if (verbosity <= 0)
        return "default.debug=false\ndefault.info=false";
    if (verbosity == 1)
        return "default.debug=false\ndefault.info=true";
    return "default.debug=true\ndefault.info=true";
}

std::string formatLogLine(QtMsgType type, const QString &message)
{
    const char *level = "info";
    switch (type) {
    case QtDebugMsg:
        level = "debug";
        break;
    case QtInfoMsg:
        level = "info";
        break;
    case QtWarningMsg:
        level = "warning";
        break;
    case QtCriticalMsg:
        level = "critical";
        break;
    case QtFatalMsg:
        level = "fatal";
        break;
    }
    return std::string("lumo ") + level + ": " + message.toStdString();
}

void setupLogging(int verbosity)
{
    QLoggingCategory::setFilterRules(QString::fromStdString(logFilterRules(verbosity)));
    qInstallMessageHandler(printMessage);
}

} // namespace lumo_collect

#include "LogSetup.h"

#include "Console.h"

#include <QLoggingCategory>
#include <QString>

namespace lumo_collect {

namespace {

Level levelOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return Level::Debug;
    case QtInfoMsg:
        return Level::Info;
    case QtWarningMsg:
        return Level::Warning;
    case QtCriticalMsg:
    case QtFatalMsg:
        return Level::Error;
    }
    return Level::Info;
}

void printMessage(QtMsgType type, const QMessageLogContext & /*context*/, const QString &message)
{
    Console::instance().line(levelOf(type), "lumo", message.toStdString());
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

void setupLogging(int verbosity)
{
    QLoggingCategory::setFilterRules(QString::fromStdString(logFilterRules(verbosity)));
    qInstallMessageHandler(printMessage);
}

} // namespace lumo_collect

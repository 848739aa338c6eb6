#include "LogCapture.h"

#include <QLoggingCategory>

#include <mutex>
#include <utility>
#include <vector>

namespace liblumo::test {

namespace {
std::mutex logMutex;
std::vector<std::pair<QtMsgType, QString>> logLines;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    std::lock_guard<std::mutex> lock(logMutex);
    logLines.emplace_back(type, message);
}
} // namespace

LogCapture::LogCapture()
{
    {
        std::lock_guard<std::mutex> lock(logMutex);
        logLines.clear();
    }
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    previousHandler = qInstallMessageHandler(captureMessage);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previousHandler);
    QLoggingCategory::setFilterRules(QString());
}

QStringList LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(logMutex);
    QStringList result;
    for (const auto &line : logLines)
        result << line.second;
    return result;
}

QStringList LogCapture::linesOf(QtMsgType type) const
{
    std::lock_guard<std::mutex> lock(logMutex);
    QStringList result;
    for (const auto &line : logLines) {
        if (line.first == type)
            result << line.second;
    }
    return result;
}

} // namespace liblumo::test

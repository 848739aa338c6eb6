#include "ProtocolFixture.h"

#include <QLoggingCategory>

namespace liblumo::test {

namespace {
QStringList captured;
QtMessageHandler previous = nullptr;

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    captured.append(message);
}
} // namespace

LogCapture::LogCapture()
{
    captured.clear();
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
}

const QStringList &LogCapture::lines() const
{
    return captured;
}

} // namespace liblumo::test

// Collects every Qt message (debug included) while it lives; the previous handler and the
// logging rules come back afterwards. Safe to read while library threads still log.
#ifndef LIBLUMO_TESTS_LOGCAPTURE_H
#define LIBLUMO_TESTS_LOGCAPTURE_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace liblumo::test {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    QStringList linesOf(QtMsgType type) const;
    int count(const QString &line) const { return lines().count(line); }
    bool contains(const QString &line) const { return lines().contains(line); }
    int indexOf(const QString &line) const { return lines().indexOf(line); }
};

} // namespace liblumo::test

#endif

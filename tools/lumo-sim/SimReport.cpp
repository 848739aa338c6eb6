#include "SimReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace lumosim {

DeviceReport *SimReport::device(uint32_t din)
{
    for (DeviceReport &d : devices)
        if (d.din == din)
            return &d;
    return nullptr;
}

const DeviceReport *SimReport::device(uint32_t din) const
{
    for (const DeviceReport &d : devices)
        if (d.din == din)
            return &d;
    return nullptr;
}

void recordBounded(std::vector<std::string> &list, std::string entry)
{
    if (list.size() < kMaxRecordedEntries)
        list.push_back(std::move(entry));
}

void recordBounded(std::vector<uint64_t> &list, uint64_t entry)
{
    if (list.size() < kMaxRecordedEntries)
        list.push_back(entry);
}

namespace {

// JSON numbers are doubles; counters stay far below 2^53.
QJsonValue num(uint64_t v)
{
    return QJsonValue(double(v));
}

QJsonArray strings(const std::vector<std::string> &list)
{
    QJsonArray a;
    for (const std::string &s : list)
        a.append(QString::fromStdString(s));
    return a;
}

QJsonObject deviceJson(const DeviceReport &d)
{
    char din[16];
    std::snprintf(din, sizeof din, "%09u", d.din);
    QJsonArray counters;
    for (uint64_t c : d.keepAliveCounters)
        counters.append(num(c));
    QJsonObject o;
    o["din"] = num(d.din);
    o["dinText"] = QString::fromLatin1(din).insert(6, '-').insert(3, '-');
    o["handshakesSent"] = num(d.handshakesSent);
    o["handshakesAccepted"] = num(d.handshakesAccepted);
    o["handshakesUnanswered"] = num(d.handshakesUnanswered);
    o["echoMismatches"] = num(d.echoMismatches);
    o["countRequests"] = num(d.countRequests);
    o["retrieveRequests"] = num(d.retrieveRequests);
    o["measurementsHandedOver"] = num(d.measurementsHandedOver);
    o["measurementsRemaining"] = num(d.measurementsRemaining);
    o["statusRequests"] = num(d.statusRequests);
    o["paramRequests"] = num(d.paramRequests);
    o["realTimeCommands"] = num(d.realTimeCommands);
    o["keepAlivesReceived"] = num(d.keepAlivesReceived);
    o["keepAliveCounters"] = counters;
    o["malformedCommands"] = num(d.malformedCommands);
    o["dateTimesWritten"] = strings(d.dateTimesWritten);
    o["paramsWritten"] = strings(d.paramsWritten);
    o["sleepsReceived"] = num(d.sleepsReceived);
    return o;
}

} // namespace

std::string SimReport::toJson() const
{
    QJsonObject frames;
    for (const auto &[command, count] : framesReceived) {
        char key[8];
        std::snprintf(key, sizeof key, "0x%02X", unsigned(command));
        frames[key] = num(count);
    }
    QJsonArray devs;
    for (const DeviceReport &d : devices)
        devs.append(deviceJson(d));
    QJsonObject o;
    o["result"] = QString::fromStdString(result);
    o["error"] = QString::fromStdString(error);
    o["sessionsStarted"] = num(sessionsStarted);
    o["sessionsCompleted"] = num(sessionsCompleted);
    o["linksClosedByHost"] = num(linksClosedByHost);
    o["linksDroppedByFault"] = num(linksDroppedByFault);
    o["sessionsWentSilent"] = num(sessionsWentSilent);
    o["framesReceived"] = frames;
    o["framesReceivedTotal"] = num(framesReceivedTotal);
    o["badLrcReceived"] = num(badLrcReceived);
    o["naksSentByFault"] = num(naksSentByFault);
    o["packetMismatches"] = num(packetMismatches);
    o["strayBytes"] = num(strayBytes);
    o["framesSent"] = num(framesSent);
    o["framesResent"] = num(framesResent);
    o["acksReceived"] = num(acksReceived);
    o["naksReceived"] = num(naksReceived);
    o["ackTimeouts"] = num(ackTimeouts);
    o["handshakesAccepted"] = num(handshakesAccepted);
    o["handshakesUnanswered"] = num(handshakesUnanswered);
    o["measurementsHandedOver"] = num(measurementsHandedOver);
    o["floodBytes"] = num(floodBytes);
    o["devices"] = devs;
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace lumosim

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

std::vector<const DeviceReport *> SimReport::devicesLeftWithMeasurements() const
{
    std::vector<const DeviceReport *> out;
    for (const DeviceReport &d : devices)
        if (d.sessionsLeftWithMeasurements > 0)
            out.push_back(&d);
    return out;
}

void recordBounded(std::vector<HandedOverMeasurement> &list, const HandedOverMeasurement &entry)
{
    if (list.size() < kMaxRecordedEntries)
        list.push_back(entry);
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

QJsonObject commandCounts(const std::map<int, uint64_t> &counts)
{
    QJsonObject o;
    for (const auto &[command, count] : counts) {
        char key[8];
        std::snprintf(key, sizeof key, "0x%02X", unsigned(command));
        o[key] = num(count);
    }
    return o;
}

QJsonArray handedOverJson(const std::vector<HandedOverMeasurement> &list)
{
    QJsonArray a;
    for (const HandedOverMeasurement &m : list) {
        QJsonObject o;
        o["index"] = num(m.index);
        o["samples"] = num(m.samples);
        o["totBlocks"] = num(m.totBlocks);
        o["ns"] = num(m.ns);
        o["dtime"] = num(m.dtime);
        a.append(o);
    }
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
    o["measurementsStored"] = num(d.measurementsStored);
    o["measurementsHandedOver"] = num(d.measurementsHandedOver);
    o["measurementsRemaining"] = num(d.measurementsRemaining);
    o["handedOver"] = handedOverJson(d.handedOver);
    o["sessionsLeftWithMeasurements"] = num(d.sessionsLeftWithMeasurements);
    o["retrievalsAbandoned"] = num(d.retrievalsAbandoned);
    o["framesAckedTwice"] = num(d.framesAckedTwice);
    o["commandsReceived"] = commandCounts(d.commandsReceived);
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
    o["framesReceived"] = commandCounts(framesReceived);
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
    o["retrievalsAbandoned"] = num(retrievalsAbandoned);
    o["framesAckedTwice"] = num(framesAckedTwice);
    o["devicesLeftWithMeasurements"] = num(devicesLeftWithMeasurements().size());
    o["floodBytes"] = num(floodBytes);
    o["devices"] = devs;
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace lumosim

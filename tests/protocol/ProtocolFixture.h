// Shared pieces of the protocol tests: a Protocol over a ScriptedTransport, hex vectors and
// device frames built on the test side.
#ifndef LIBLUMO_TESTS_PROTOCOLFIXTURE_H
#define LIBLUMO_TESTS_PROTOCOLFIXTURE_H

#include "LogCapture.h"
#include "ScriptedTransport.h"
#include "protocol/Protocol.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace liblumo::test {

using Bytes = std::vector<QByteArray>;

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

// A device frame built independently of the library: STX, packet, length, command, data, LRC.
inline QByteArray deviceFrame(uint16_t packet, uint8_t command, const QByteArray &data = {})
{
    const int length = data.size() + 2;
    QByteArray out = QByteArray(1, 0x02) + char(packet >> 8) + char(packet & 0xFF) +
                     char(length >> 8) + char(length & 0xFF) + char(command) + data;
    char lrc = 0;
    for (char byte : out)
        lrc = char(lrc ^ byte);
    return out + lrc;
}

// The log as one text, a line each, with every "rxTime: <n> ms" written "%T".
inline std::string logText(const LogCapture &log)
{
    return log.lines()
        .join('\n')
        .replace(QRegularExpression("rxTime: \\d+ ms"), "%T")
        .toStdString();
}

class ProtocolTest : public ::testing::Test {
protected:
    ProtocolTest() { protocol->link().setTransport(&device); }
    int receive(int timeoutMs = 1000, bool acknowledge = true)
    {
        return protocol->link().receive(LinkLayer::Expected(), command, data, timeoutMs,
                                        acknowledge);
    }

    ScriptedTransport device;
    std::unique_ptr<Protocol> protocol = std::make_unique<Protocol>();
    uint8_t command = 0;
    QByteArray data;
};

} // namespace liblumo::test

#endif

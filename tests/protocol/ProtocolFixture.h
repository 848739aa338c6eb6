// Shared pieces of the protocol tests: a Protocol over a ScriptedTransport, hex vectors,
// device frames built on the test side, and a captured Qt message log.
#ifndef LIBLUMO_TESTS_PROTOCOLFIXTURE_H
#define LIBLUMO_TESTS_PROTOCOLFIXTURE_H

#include "LogCapture.h"
#include "ScriptedTransport.h"
#include "protocol/Protocol.h"

#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace liblumo::test {

// "02 00 0A" -> bytes.
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

// A device frame built independently of the library: STX, packet, length, command, data, LRC.
inline QByteArray deviceFrame(uint16_t packet, uint8_t command, const QByteArray &data = {})
{
    QByteArray out;
    const int length = data.size() + 2;
    out.append(char(0x02));
    out.append(char(packet >> 8)).append(char(packet & 0xFF));
    out.append(char(length >> 8)).append(char(length & 0xFF));
    out.append(char(command));
    out.append(data);
    char lrc = 0;
    for (char byte : out)
        lrc = char(lrc ^ byte);
    out.append(lrc);
    return out;
}

inline QByteArray corrupted(QByteArray frame)
{
    frame[frame.size() - 1] = char(frame.at(frame.size() - 1) ^ 0x5A);
    return frame;
}

class ProtocolTest : public ::testing::Test {
protected:
    ProtocolTest() { protocol->setTransport(&device); }

    ScriptedTransport device;
    std::unique_ptr<Protocol> protocol = std::make_unique<Protocol>();
};

} // namespace liblumo::test

#endif

// Commands that open and keep up the conversation: handshake, keep-alive, sleep and the
// real-time command.
#include "protocol/Protocol.h"

#include "helpers/ByteOrder.h"
#include "helpers/Logging.h"
#include "protocol/ProtocolFrame.h"

namespace liblumo {

namespace {

// Handshake payload, little-endian.
constexpr int kHandshakeSize = 12;
constexpr int kDinOffset = 0;
constexpr int kClockOffset = 4;
constexpr int kWordOffset = 8;
constexpr int kCrcOffset = 10;

constexpr int kDinDigits = 9;
// The DIN text holds nine digits: a larger number would lose its last digits and pass
// for another device.
constexpr uint32_t kLargestDin = 999999999;
constexpr int kDinGroupLength = 3;
constexpr int kKeepAliveDigits = 10;
constexpr char kSleepArgument = 0x01;

// "NNN-NNN-NNN" from the first nine digits of the zero-padded DIN number.
QString dinText(uint32_t din)
{
    const QString digits = helpers::decValue(din, kDinDigits);
    return QStringLiteral("%1-%2-%3")
        .arg(digits.mid(0, kDinGroupLength), digits.mid(kDinGroupLength, kDinGroupLength),
             digits.mid(2 * kDinGroupLength, kDinGroupLength));
}

} // namespace

bool Protocol::waitHandshake(QString &din, uint16_t &handshakeWord, uint16_t &rxCrc16,
                             AcceptFunction accept, void *user, uint8_t &otherCommand,
                             QByteArray &otherData, int timeoutMs)
{
    din.clear();
    handshakeWord = 0;
    rxCrc16 = 0;
    otherCommand = 0;

    uint8_t command = 0;
    QByteArray data;
    if (receiveUnacknowledged(command, data, timeoutMs) < 0)
        return false;
    if (command != CMD_HANDSHAKE) {
        // Nobody asked for it (a late answer, a block of an abandoned measurement): an ACK
        // would tell the device it was taken, so it is refused, and handed to the caller.
        LUMO_INFO << "Protocol::waitHandshake not a handshake, refused - command:"
                  << frame::hexByte(command);
        sendNak();
        otherData = data;
        otherCommand = command;
        return false;
    }
    if (data.size() < kHandshakeSize) {
        // Left unanswered like a refused device: there is no identity to accept.
        LUMO_INFO << "Protocol::waitHandshake short handshake - length:" << data.size();
        return false;
    }

    const uint8_t *payload = frame::bytes(data);
    timestamp_t clock{};
    clock.packed = uint32_t(helpers::readU32LE(payload + kClockOffset));
    handshakeWord = uint16_t(helpers::readU16LE(payload + kWordOffset));
    rxCrc16 = uint16_t(helpers::readU16LE(payload + kCrcOffset));
    const auto dinNumber = uint32_t(helpers::readU32LE(payload + kDinOffset));
    if (dinNumber > kLargestDin) {
        // Left unanswered like a refused device.
        LUMO_INFO << "Protocol::waitHandshake DIN does not fit nine digits - din:" << dinNumber;
        return false;
    }
    din = dinText(dinNumber);

    if (accept == nullptr || !accept(din, user)) {
        din.clear();
        return false;
    }
    sendAck();
    if (send(CMD_HANDSHAKE, data) <= 0) {
        LUMO_DEBUG << "Protocol::waitHandshake ERROR!";
        return false;
    }
    helpers::timestamp2Time(&clock);
    frame::logClock("Protocol::waitHandshake -", clock);
    return true;
}

bool Protocol::sendKeepAlive(uint32_t counter, int timeoutMs)
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::sendKeepAlive send request";
    if (send(CMD_KEEP_ALIVE, helpers::decValue(counter, kKeepAliveDigits).toLatin1()) <= 0)
        return false;
    uint8_t command = 0;
    QByteArray answer;
    const int result = receive(command, answer, timeoutMs);
    LUMO_INFO << "Protocol::sendKeepAlive - result:" << result;
    return result != -1 && command == CMD_KEEP_ALIVE;
}

bool Protocol::doSleep()
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::doSleep send request";
    return send(CMD_SLEEP, QByteArray(1, kSleepArgument)) > 0;
}

bool Protocol::sentRealTimeCommand(uint8_t subCommand, const QByteArray &arguments,
                                   QByteArray &answer, int timeoutMs)
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::sentRealTimeCommand send request";
    QByteArray payload;
    payload.reserve(arguments.size() + 1);
    payload.append(char(subCommand));
    payload.append(arguments);
    if (send(CMD_REAL_TIME, payload) <= 0)
        return false;
    answer.clear();
    uint8_t command = 0;
    const int result = receive(command, answer, timeoutMs);
    LUMO_INFO << "Protocol::sentRealTimeCommand - result:" << result;
    return result != -1 && command == CMD_REAL_TIME;
}

} // namespace liblumo

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
    // A frame of another kind (a late answer, a block of an abandoned measurement) is
    // refused by the link layer and counted against the bad-input bound: an ACK would tell
    // the device it was taken. otherCommand and otherData therefore stay empty.
    otherData.clear();
    if (linkLayer.receive({CMD_HANDSHAKE}, command, data, timeoutMs, false) < 0)
        return false;
    // Only the wait for the frame is bound by the receive deadline: once it is here, the
    // host's answer and the echo take what they need.
    linkLayer.setReceiveDeadline(0);
    if (data.size() < kHandshakeSize) {
        // Left unanswered like a refused device: there is no identity to accept.
        linkLayer.countUnwanted("Protocol::waitHandshake short handshake");
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
        linkLayer.countUnwanted("Protocol::waitHandshake DIN does not fit nine digits");
        return false;
    }
    din = dinText(dinNumber);

    if (accept == nullptr || !accept(din, user)) {
        din.clear();
        return false;
    }
    // Remembered as acknowledged: a repeat of it (the device missed this ACK) that comes
    // while the echo waits for its ACK is acknowledged again, so the device goes on.
    linkLayer.acknowledgeFrame();
    if (!linkLayer.send(CMD_HANDSHAKE, data)) {
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
    if (!linkLayer.send(CMD_KEEP_ALIVE, helpers::decValue(counter, kKeepAliveDigits).toLatin1()))
        return false;
    uint8_t command = 0;
    QByteArray answer;
    const int result = linkLayer.receive({CMD_KEEP_ALIVE}, command, answer, timeoutMs, true);
    LUMO_INFO << "Protocol::sendKeepAlive - result:" << result;
    return result != -1 && command == CMD_KEEP_ALIVE;
}

bool Protocol::doSleep()
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::doSleep send request";
    return linkLayer.send(CMD_SLEEP, QByteArray(1, kSleepArgument));
}

bool Protocol::sendRealTimeCommand(uint8_t subCommand, const QByteArray &arguments,
                                   QByteArray &answer, int timeoutMs)
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::sendRealTimeCommand send request";
    QByteArray payload;
    payload.reserve(arguments.size() + 1);
    payload.append(char(subCommand));
    payload.append(arguments);
    if (!linkLayer.send(CMD_REAL_TIME, payload))
        return false;
    answer.clear();
    uint8_t command = 0;
    const int result = linkLayer.receive({CMD_REAL_TIME}, command, answer, timeoutMs, true);
    LUMO_INFO << "Protocol::sendRealTimeCommand - result:" << result;
    return result != -1 && command == CMD_REAL_TIME;
}

} // namespace liblumo

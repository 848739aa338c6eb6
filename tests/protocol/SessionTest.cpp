// Handshake, keep-alive, sleep and real-time commands.
#include "ProtocolFixture.h"

namespace liblumo::test {
namespace {

// DIN 1234, clock 2024-03-05 14:07:09, word 0xBEEF, CRC 0x1234, packet 7.
const char *kHandshake = "02 00 07 00 0E 01 D2 04 00 00 C9 E1 CA 60 EF BE 34 12 29";

struct Decision {
    bool accept = true;
    QString seen;
};

bool decide(const QString &din, void *user)
{
    auto *decision = static_cast<Decision *>(user);
    decision->seen = din;
    return decision->accept;
}

class Session : public ProtocolTest {
protected:
    bool handshake(Decision &decision)
    {
        return protocol->waitHandshake(din, word, crc, decide, &decision, otherCommand, otherData,
                                       -1);
    }
    QString din;
    uint16_t word = 0;
    uint16_t crc = 0;
    uint8_t otherCommand = 0;
    QByteArray otherData;
};

TEST_F(Session, AcceptedHandshakeIsAcknowledgedThenEchoed)
{
    device.feed(hex(kHandshake));
    device.setAutoAck(true);
    Decision decision;
    EXPECT_TRUE(handshake(decision));
    EXPECT_EQ(decision.seen, QStringLiteral("000-001-234"));
    EXPECT_EQ(din, QStringLiteral("000-001-234"));
    EXPECT_EQ(word, 0xBEEF);
    EXPECT_EQ(crc, 0x1234);
    // ACK, then the same frame back: same packet number, command and data.
    EXPECT_EQ(device.wire(), hex("06") + hex(kHandshake));
}

TEST_F(Session, RefusedHandshakeGetsNoAnswerAtAll)
{
    device.feed(hex(kHandshake));
    Decision decision;
    decision.accept = false;
    EXPECT_FALSE(handshake(decision));
    EXPECT_EQ(decision.seen, QStringLiteral("000-001-234"));
    EXPECT_TRUE(din.isEmpty());
    EXPECT_TRUE(device.writes().empty());
}

TEST_F(Session, EchoNotAcknowledgedFailsButKeepsTheDin)
{
    device.feed(hex(kHandshake));
    Decision decision;
    EXPECT_FALSE(handshake(decision));
    EXPECT_EQ(din, QStringLiteral("000-001-234"));
    EXPECT_EQ(device.writes().size(), 4u); // ACK and three echoes
}

TEST_F(Session, DinMustFitNineDigits)
{
    device.setAutoAck(true);
    device.feed(deviceFrame(1, 0x01, hex("FF C9 9A 3B 00 00 00 00 00 00 00 00"))); // 999999999
    Decision decision;
    EXPECT_TRUE(handshake(decision));
    EXPECT_EQ(din, QStringLiteral("999-999-999"));
    const std::size_t written = device.writes().size();
    // 1000000000 would lose its last digit and pass for 100-000-000: refused, unanswered.
    device.feed(deviceFrame(1, 0x01, hex("00 CA 9A 3B 00 00 00 00 00 00 00 00")));
    EXPECT_FALSE(handshake(decision));
    EXPECT_TRUE(din.isEmpty());
    EXPECT_EQ(device.writes().size(), written);
}

TEST_F(Session, ShortHandshakeIsRefusedUnanswered)
{
    device.feed(deviceFrame(1, 0x01, hex("D2 04 00 00 C9 E1 CA 60 EF BE 34")));
    Decision decision;
    EXPECT_FALSE(handshake(decision));
    EXPECT_TRUE(decision.seen.isEmpty()); // the host is never asked
    EXPECT_TRUE(device.writes().empty());
}

// Nobody asked for it: acknowledging it would tell the device it was taken.
TEST_F(Session, OtherFrameInsteadOfHandshakeIsRefusedAndHandedOut)
{
    device.feed(deviceFrame(2, 0xB0, hex("05 00")));
    Decision decision;
    EXPECT_FALSE(handshake(decision));
    EXPECT_EQ(otherCommand, 0xB0);
    EXPECT_EQ(otherData, hex("05 00"));
    EXPECT_EQ(device.writes(), std::vector<QByteArray>{hex("15")});
}

TEST_F(Session, NoHandshakeAtAllFails)
{
    Decision decision;
    EXPECT_FALSE(handshake(decision));
    EXPECT_EQ(otherCommand, 0);
    EXPECT_TRUE(decision.seen.isEmpty());
}

TEST_F(Session, KeepAliveSendsTenDigitsAndNeedsAnF1Answer)
{
    device.setAutoAck(true);
    device.feed(deviceFrame(3, 0xF1));
    EXPECT_TRUE(protocol->sendKeepAlive(0, 1000));
    EXPECT_EQ(device.writes().front(), hex("02 00 00 00 0C F1 30 30 30 30 30 30 30 30 30 30 FF"));

    device.feed(deviceFrame(4, 0x92, hex("01")));
    EXPECT_FALSE(protocol->sendKeepAlive(42, 1000)); // answered, but by another command
    EXPECT_EQ(device.writes()[2].mid(6, 10), QByteArray("0000000042"));

    EXPECT_FALSE(protocol->sendKeepAlive(4294967295u, 1000)); // no answer
    EXPECT_EQ(device.writes()[4].mid(6, 10), QByteArray("4294967295"));
}

TEST_F(Session, KeepAliveNotAcknowledgedFailsWithoutWaitingForAnAnswer)
{
    EXPECT_FALSE(protocol->sendKeepAlive(1, 1000));
    EXPECT_EQ(device.writes().size(), 3u);
    EXPECT_EQ(device.readSizes(), (std::vector<int>{1, 1, 1})); // ACK waits only
}

TEST_F(Session, SleepSendsOneByteAndNeedsOnlyTheAck)
{
    device.setAutoAck(true);
    EXPECT_TRUE(protocol->doSleep());
    EXPECT_EQ(device.wire(), hex("02 00 00 00 03 91 01 91"));
    device.setAutoAck(false);
    EXPECT_FALSE(protocol->doSleep());
}

TEST_F(Session, RealTimeCommandCarriesSubCommandAndArguments)
{
    device.setAutoAck(true);
    device.feed(deviceFrame(8, 0x92, hex("AA BB")));
    QByteArray answer("old");
    EXPECT_TRUE(protocol->sentRealTimeCommand(0x05, hex("10 20"), answer, 1000));
    EXPECT_EQ(device.writes().front(), hex("02 00 00 00 05 92 05 10 20 A0"));
    EXPECT_EQ(answer, hex("AA BB"));

    device.feed(deviceFrame(9, 0xF1, hex("01")));
    EXPECT_FALSE(protocol->sentRealTimeCommand(0x05, QByteArray(), answer, 1000));
}

} // namespace
} // namespace liblumo::test

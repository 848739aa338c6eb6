// The serial port on real pseudo-terminals: the test holds the controlling side and
// plays the device.
#include "TransportTestSupport.h"

#include "transports/SerialPort.h"
#include "transports/StopSignal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

using liblumo::com::ComPortDevice;
using liblumo::com::SerialPort;
using namespace transport_test;

namespace {

class SerialOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.isValid());
        port.setPortName(pty.path());
        ASSERT_TRUE(port.open());
    }

    // Reads until count bytes arrived or the port gives up.
    std::vector<uint8_t> readBytes(std::size_t count)
    {
        std::vector<uint8_t> bytes(count);
        std::size_t got = 0;
        port.setTimeout(kPatientMs);
        while (got < count) {
            const int done = port.read(bytes.data() + got, int(count - got));
            if (done <= 0)
                break;
            got += std::size_t(done);
        }
        bytes.resize(got);
        return bytes;
    }

    PtyPair pty;
    SerialPort port;
};

// Every byte value that a terminal might translate or swallow: CR, LF, XON, XOFF,
// interrupt, quit, end-of-file, erase, kill, escape, DEL, 0xFF and NUL.
const std::vector<uint8_t> kAwkwardBytes = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1C, 0x04, 0x08,
                                            0x15, 0x1B, 0x7F, 0xFF, 0x00, 0x0D, 0x0D, 0x0A};

} // namespace

TEST_F(SerialOnPty, WritesEveryByteUnchangedAndLogsIt)
{
    LogCapture log;
    EXPECT_EQ(port.write(kAwkwardBytes.data(), int(kAwkwardBytes.size())), 16);
    EXPECT_EQ(pty.readExactly(kAwkwardBytes.size()), kAwkwardBytes);
    EXPECT_EQ(log.linesOf(QtDebugMsg),
              (QStringList{QStringLiteral("SerialPort::write bytesWritten: 16 buffer size: 16"),
                           QStringLiteral("TX BUFFER: \"0D0A1113031C0408151B7FFF000D0D0A\"")}));
}

TEST_F(SerialOnPty, ReadsEveryByteUnchanged)
{
    ASSERT_TRUE(pty.write(kAwkwardBytes));
    EXPECT_EQ(readBytes(kAwkwardBytes.size()), kAwkwardBytes);
    EXPECT_TRUE(port.isConnected());
}

TEST_F(SerialOnPty, ReadReturnsOnceTheBufferIsFullAndTracesIt)
{
    LogCapture log;
    ASSERT_TRUE(pty.write({0x02, 0x00, 0x01, 0x00}));
    ASSERT_TRUE(port.waitForInput(kPatientMs));
    uint8_t buffer[4] = {};
    port.setTimeout(kPatientMs);
    ASSERT_EQ(port.read(buffer, 4), 4);
    EXPECT_EQ(buffer[0], 0x02);
    EXPECT_EQ(buffer[3], 0x00);
    EXPECT_EQ(log.count(QStringLiteral("RX BUFFER: \"02000100\"")), 1);
}

TEST_F(SerialOnPty, PeekDoesNotConsumeAndDiscardDropsWaitingInput)
{
    ASSERT_TRUE(pty.write({0x55, 0x66}));
    ASSERT_TRUE(port.waitForInput(kPatientMs));
    EXPECT_TRUE(port.isDataAvailable());
    EXPECT_TRUE(port.waitForInput(0));
    port.discardInput();
    EXPECT_FALSE(port.isDataAvailable());

    ASSERT_TRUE(pty.write({0x77}));
    EXPECT_EQ(readBytes(1), std::vector<uint8_t>{0x77}); // only what came after the discard
}

TEST_F(SerialOnPty, ReadWithTheDefaultTimeOutReturnsZeroQuietly)
{
    LogCapture log;
    uint8_t byte = 0;
    port.setTimeout(-1);
    const int64_t start = nowMs();
    EXPECT_EQ(port.read(&byte, 1), 0);
    EXPECT_GE(nowMs() - start, 990);
    EXPECT_FALSE(log.lines().contains(QStringLiteral("SerialPort::read TIMEOUT")));
}

TEST_F(SerialOnPty, ReadWithAnExplicitTimeOutLogsTheTimeOut)
{
    LogCapture log;
    uint8_t byte = 0;
    port.setTimeout(500);
    const int64_t start = nowMs();
    EXPECT_EQ(port.read(&byte, 1), 0);
    EXPECT_GE(nowMs() - start, 490);
    EXPECT_EQ(log.linesOf(QtInfoMsg), QStringList{QStringLiteral("SerialPort::read TIMEOUT")});
}

TEST_F(SerialOnPty, DisconnectLeavesThePortOpen)
{
    EXPECT_TRUE(port.disconnect());
    EXPECT_TRUE(port.isConnected());
    const uint8_t ack = 0x06;
    EXPECT_EQ(port.write(&ack, 1), 1);
    EXPECT_EQ(pty.readExactly(1), std::vector<uint8_t>{0x06});
}

TEST_F(SerialOnPty, DeviceGoneMakesThePortDisconnectedAndReadsFail)
{
    LogCapture log;
    pty.closeMaster();
    EXPECT_FALSE(port.isConnected());
    EXPECT_FALSE(port.isDataAvailable());
    const int64_t start = nowMs();
    EXPECT_FALSE(port.waitForInput(kPatientMs)); // a hang-up ends the wait
    uint8_t byte = 0;
    port.setTimeout(kPatientMs);
    EXPECT_EQ(port.read(&byte, 1), -1);
    EXPECT_LT(nowMs() - start, kPatientMs);
    EXPECT_TRUE(log.linesOf(QtDebugMsg).contains(QStringLiteral("SerialPort::read ERROR!!!")));
    EXPECT_FALSE(port.open()); // the device is not there any more
}

TEST_F(SerialOnPty, OpenAgainClosesFirstAndWorks)
{
    ASSERT_TRUE(port.open());
    EXPECT_TRUE(port.reopen());
    EXPECT_TRUE(port.isConnected());
    ASSERT_TRUE(pty.write({0x42}));
    EXPECT_EQ(readBytes(1), std::vector<uint8_t>{0x42});

    EXPECT_TRUE(port.close());
    EXPECT_FALSE(port.isConnected());
    ASSERT_TRUE(port.open());
    const uint8_t byte = 0x43;
    EXPECT_EQ(port.write(&byte, 1), 1);
    EXPECT_EQ(pty.readExactly(1), std::vector<uint8_t>{0x43});
}

TEST_F(SerialOnPty, ANewDeviceIsFoundAfterTheOldOneWent)
{
    pty.closeMaster();
    ASSERT_FALSE(port.isConnected());
    PtyPair replacement;
    ASSERT_TRUE(replacement.isValid());
    port.setPortName(replacement.path());
    ASSERT_TRUE(port.reopen());
    EXPECT_TRUE(port.isConnected());
    ASSERT_TRUE(replacement.write({0x01}));
    EXPECT_EQ(readBytes(1), std::vector<uint8_t>{0x01});
}

TEST(SerialPortClosed, ReadWaitsOutItsTimeOutAndReturnsZero)
{
    SerialPort port;
    uint8_t byte = 0;
    port.setTimeout(300);
    const int64_t start = nowMs();
    EXPECT_EQ(port.read(&byte, 1), 0);
    EXPECT_GE(nowMs() - start, 290);
    EXPECT_FALSE(port.isConnected());
    EXPECT_FALSE(port.isDataAvailable());
    EXPECT_FALSE(port.waitForInput(10));
}

TEST(SerialPortClosed, WriteReturnsZeroAndLogsNothingSent)
{
    LogCapture log;
    SerialPort port;
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(port.write(bytes, 3), 0);
    EXPECT_EQ(log.linesOf(QtDebugMsg),
              (QStringList{QStringLiteral("SerialPort::write bytesWritten: 0 buffer size: 3"),
                           QStringLiteral("TX BUFFER: \"\"")}));
}

TEST(SerialPortOpen, RefusesNamesThatAreNoSerialPort)
{
    SerialPort port;
    EXPECT_FALSE(port.open()); // no name at all
    port.setPortName("/dev/this-port-does-not-exist");
    EXPECT_FALSE(port.open());
    port.setPortName("/dev/null"); // exists, but has no line settings
    EXPECT_FALSE(port.open());
    EXPECT_FALSE(port.isConnected());

    ComPortDevice device;
    EXPECT_EQ(device.openPort("/dev/this-port-does-not-exist", 115200),
              ComPortDevice::kErrorNotFound);
    EXPECT_EQ(device.openPort("/dev/null", 115200), ComPortDevice::kErrorSettingsUnread);
    PtyPair pty;
    ASSERT_TRUE(pty.isValid());
    EXPECT_EQ(device.openPort(pty.path().c_str(), 12345), ComPortDevice::kErrorBadBaudRate);
    EXPECT_FALSE(device.isOpen());
}

TEST(SerialPortOpen, UsesTheNameExactlyAsGiven)
{
    PtyPair pty;
    ASSERT_TRUE(pty.isValid());
    char directory[] = "/tmp/lumo-serial-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/DeviceTty";
    ASSERT_EQ(::symlink(pty.path().c_str(), link.c_str()), 0);

    SerialPort port;
    port.setPortName(std::string(directory) + "/devicetty"); // paths are case-sensitive
    EXPECT_FALSE(port.open());
    port.setPortName(link);
    EXPECT_TRUE(port.open());
    const uint8_t byte = 0x5A;
    EXPECT_EQ(port.write(&byte, 1), 1);
    EXPECT_EQ(pty.readExactly(1), std::vector<uint8_t>{0x5A});

    port.close();
    ::unlink(link.c_str());
    ::rmdir(directory);
}

TEST(SerialPortOpen, PortDescriptorIsCloseOnExec)
{
    PtyPair pty;
    ASSERT_TRUE(pty.isValid());
    const int before = descriptorsWithoutCloseOnExec();
    SerialPort port;
    port.setPortName(pty.path());
    ASSERT_TRUE(port.open());
    EXPECT_EQ(descriptorsWithoutCloseOnExec(), before);
}

// A port that stops taking bytes (nobody reads the other side) or a device that stays
// silent: a stop ends the write or the read at once, not after the stall allowance or
// the time-out.
TEST_F(SerialOnPty, StopEndsAStalledWriteAndASilentRead)
{
    liblumo::com::StopSignal stop;
    port.setStopSignal(&stop);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.raise();
    });
    const std::vector<uint8_t> flood(1 << 20, 0x55); // far more than a terminal buffers
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(port.write(flood.data(), int(flood.size())), 0);
    stopper.join();
    port.setTimeout(30000);
    uint8_t byte = 0;
    EXPECT_EQ(port.read(&byte, 1), -1);
    // The stall allowance is 10 s, the read's time-out 30 s.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

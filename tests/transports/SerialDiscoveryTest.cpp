// Finding the device's serial port by its USB serial number, on made-up port lists.
#include "TransportTestSupport.h"

#include "transports/SerialPort.h"
#include "transports/SerialPortInfoProvider.h"

#include <gtest/gtest.h>

#include <memory>

using liblumo::com::SerialPort;
using liblumo::com::SerialPortDescription;
using liblumo::com::SerialPortInfoProvider;
using namespace transport_test;

namespace {

class FixedPorts : public SerialPortInfoProvider {
public:
    explicit FixedPorts(QList<SerialPortDescription> list) : ports(std::move(list)) {}
    QList<SerialPortDescription> availablePorts() const override { return ports; }

private:
    QList<SerialPortDescription> ports;
};

SerialPortDescription usbPort(const QString &name, const QString &serialNumber)
{
    SerialPortDescription port;
    port.portName = name;
    port.systemLocation = QStringLiteral("/dev/") + name;
    port.description = QStringLiteral("USB serial converter");
    port.manufacturer = QStringLiteral("Maker");
    port.serialNumber = serialNumber;
    port.vendorIdentifier = 0x0403;
    port.productIdentifier = 0x6001;
    return port;
}

class SerialDiscovery : public ::testing::Test {
protected:
    void TearDown() override { SerialPortInfoProvider::install(nullptr); }

    static void offer(QList<SerialPortDescription> ports)
    {
        SerialPortInfoProvider::install(std::make_shared<FixedPorts>(std::move(ports)));
    }

    SerialPort port;
};

} // namespace

TEST_F(SerialDiscovery, MatchesOnlySerialNumbersThatBeginWithAKnownPrefix)
{
    struct Case {
        const char *serialNumber;
        bool matches;
    };
    const Case cases[] = {
        {"0310A7F2", true}, {"310", true},    {"0510", true},      {"510XYZ", true},
        {"X0310", false},   {"00310", false}, {"0410ABCD", false}, {"31", false},
        {"51", false},      {"", false},      {" 0310", false},    {"1310", false},
    };
    for (const Case &c : cases) {
        offer({usbPort(QStringLiteral("ttyUSB3"), QString::fromLatin1(c.serialNumber))});
        const QString found = port.retrievePortName();
        EXPECT_EQ(found, c.matches ? QStringLiteral("/dev/ttyUSB3") : QString()) << c.serialNumber;
    }
}

TEST_F(SerialDiscovery, FirstMatchingPortInTheListWinsAndIsLogged)
{
    LogCapture log;
    offer({usbPort(QStringLiteral("ttyUSB0"), QStringLiteral("A50310")),
           usbPort(QStringLiteral("ttyUSB1"), QStringLiteral("0510ZZ")),
           usbPort(QStringLiteral("ttyUSB2"), QStringLiteral("0310AA"))});
    EXPECT_EQ(port.retrievePortName(), QStringLiteral("/dev/ttyUSB1"));
    const QString stars(81, QLatin1Char('*'));
    EXPECT_EQ(log.linesOf(QtInfoMsg),
              (QStringList{stars, "SerialPort::retrievePortName Port: \"ttyUSB1\"",
                           "SerialPort::retrievePortName Description: \"USB serial converter\"",
                           "SerialPort::retrievePortName Manufacturer: \"Maker\"",
                           "SerialPort::retrievePortName Serial number: \"0510ZZ\"",
                           "SerialPort::retrievePortName Vendor Identifier: 1027",
                           "SerialPort::retrievePortName Product Identifier: 24577", stars}));
}

TEST_F(SerialDiscovery, AutoWithoutAMatchingPortFailsSilently)
{
    LogCapture log;
    offer({usbPort(QStringLiteral("ttyUSB0"), QStringLiteral("9999")),
           usbPort(QStringLiteral("ttyS0"), QString())});
    port.setPortName("AUTO");
    EXPECT_FALSE(port.open());
    EXPECT_FALSE(port.isConnected());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(SerialDiscovery, AutoInAnyLetterCaseOpensTheDiscoveredPort)
{
    PtyPair pty;
    ASSERT_TRUE(pty.isValid());
    SerialPortDescription device = usbPort(QStringLiteral("pty"), QStringLiteral("0310123"));
    device.systemLocation = QString::fromStdString(pty.path());
    offer({device});
    for (const char *name : {"AUTO", "auto", "Auto"}) {
        port.setPortName(name);
        ASSERT_TRUE(port.open()) << name;
        const uint8_t byte = 0x7E;
        EXPECT_EQ(port.write(&byte, 1), 1);
        EXPECT_EQ(pty.readExactly(1), std::vector<uint8_t>{0x7E}) << name;
    }
}

TEST_F(SerialDiscovery, OnlyTheWholeWordAutoAsksForDiscovery)
{
    EXPECT_TRUE(SerialPort::isAutoName("AUTO"));
    EXPECT_TRUE(SerialPort::isAutoName("aUtO"));
    EXPECT_FALSE(SerialPort::isAutoName("AUTO1"));
    EXPECT_FALSE(SerialPort::isAutoName("/dev/AUTO"));
    EXPECT_FALSE(SerialPort::isAutoName(""));

    // An explicit path never consults the port list.
    offer({usbPort(QStringLiteral("ttyUSB0"), QStringLiteral("0310"))});
    LogCapture log;
    port.setPortName("/dev/this-port-does-not-exist");
    EXPECT_FALSE(port.open());
    EXPECT_TRUE(log.lines().isEmpty());
}

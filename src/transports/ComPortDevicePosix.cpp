// The communication port on termios, ioctl and poll.
//
// The descriptor is non-blocking with VMIN 1 / VTIME 0, so a read with nothing waiting
// answers EAGAIN at once and every wait happens in poll(). A read that answers 0 bytes
// (end of file) or EIO means the device has gone: a USB adapter that was unplugged, or
// a pseudo-terminal whose other side was closed.
#include "transports/ComPortDevice.h"
#include "transports/PollWait.h"

#include "transports/TimeOut.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace liblumo::com {

namespace {

constexpr int kNoHandle = -1;

struct BaudEntry {
    unsigned rate;
    speed_t speed;
};

// The rates the port supports here; 14400, 56000, 128000 and 256000 have no termios code.
constexpr BaudEntry kBaudRates[] = {
    {110, B110},     {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

bool findSpeed(unsigned rate, speed_t &speed)
{
    for (const BaudEntry &entry : kBaudRates) {
        if (entry.rate == rate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

// Raw 8N1: no byte is translated, dropped or added on the way in or out. Software flow
// control goes too, since it would swallow 11h and 13h inside binary frames; hardware
// flow control stays as the driver set it.
void makeRaw8N1(termios &settings)
{
    settings.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                  INPCK | IXON | IXOFF | IXANY);
    settings.c_oflag &= ~tcflag_t(OPOST);
    settings.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    // With the non-blocking descriptor this makes an empty read answer EAGAIN rather
    // than 0, which is kept to mean "the device has gone".
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

using Wait = PollResult;

Wait waitFor(int fd, short events, int timeoutMs, int wakeFd = -1)
{
    return waitOnDescriptor(fd, events, timeoutMs, wakeFd);
}

bool setModemLine(int fd, int line, bool on)
{
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

} // namespace

ComPortDevice::~ComPortDevice()
{
    closePort();
}

int ComPortDevice::openPort(const char *path, unsigned baudRate)
{
    closePort();
    if (path == nullptr || *path == '\0')
        return kErrorNotFound;
    // O_NOCTTY: the port must never become the host process's controlling terminal.
    // O_NONBLOCK: the open must not wait for a carrier.
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? kErrorNotFound : kErrorNotOpenable;
    int result = kOpened;
    termios settings{};
    speed_t speed = B0;
    if (::tcgetattr(fd, &settings) != 0)
        result = kErrorSettingsUnread;
    else if (::ioctl(fd, TIOCEXCL) != 0)
        result = kErrorNotOpenable;
    else if (!findSpeed(baudRate, speed))
        result = kErrorBadBaudRate;
    else {
        makeRaw8N1(settings);
        if (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0 ||
            ::tcsetattr(fd, TCSANOW, &settings) != 0)
            result = kErrorSettingsRefused;
    }
    if (result != kOpened) {
        ::close(fd);
        return result;
    }
    portHandle = fd;
    return kOpened;
}

void ComPortDevice::closePort()
{
    if (portHandle < 0)
        return;
    const int fd = int(portHandle);
    ::ioctl(fd, TIOCNXCL); // lets others open the port even if a descriptor lingers
    ::close(fd);
    portHandle = kNoHandle;
}

int ComPortDevice::writeData(const uint8_t *data, int count, int wakeFd)
{
    if (portHandle < 0 || count < 0 || (data == nullptr && count > 0))
        return -1;
    const int fd = int(portHandle);
    int written = 0;
    while (written < count) {
        const ssize_t done = ::write(fd, data + written, size_t(count - written));
        if (done > 0) {
            written += int(done);
            continue;
        }
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            waitFor(fd, POLLOUT, kWriteStallMs, wakeFd) == Wait::Ready)
            continue;
        return -1;
    }
    return 1;
}

int ComPortDevice::readData(uint8_t *buffer, int count, int timeoutMs, int wakeFd)
{
    if (portHandle < 0)
        return kReadNotReady;
    if (buffer == nullptr || count <= 0)
        return 0;
    const int fd = int(portHandle);
    TimeOut deadline(timeoutMs);
    deadline.start();
    bool hangUpSeen = false;
    for (;;) {
        const ssize_t done = ::read(fd, buffer, size_t(count));
        if (done > 0)
            return int(done);
        if (done < 0 && errno == EINTR)
            continue;
        const bool empty = done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (!empty || hangUpSeen)
            return kReadFailed;
        const int waitMs = deadline.remaining();
        if (waitMs == 0)
            return 0;
        switch (waitFor(fd, POLLIN, waitMs, wakeFd)) {
        case Wait::TimedOut:
            return 0;
        case Wait::Woken:
            return kReadWoken;
        case Wait::Gone:
            hangUpSeen = true; // one more read collects what is left, then fails
            break;
        case Wait::Ready:
            break;
        }
    }
}

void ComPortDevice::purgeInput()
{
    if (portHandle < 0)
        return;
    const int fd = int(portHandle);
    // The frame layer purges before every frame and every ACK, and on a stop-and-wait link
    // nothing is waiting nearly every time. A flush then costs the kernel a round with its
    // receive work (on a pseudo-terminal about a third of the frame rate), so it is made
    // only when input is waiting or the count cannot be read.
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting == 0)
        return;
    ::tcflush(fd, TCIFLUSH);
}

int ComPortDevice::inputQueueLength()
{
    int waiting = 0;
    if (portHandle < 0 || ::ioctl(int(portHandle), FIONREAD, &waiting) != 0)
        return 0;
    return waiting;
}

bool ComPortDevice::setDtrLine(bool on)
{
    return portHandle >= 0 && setModemLine(int(portHandle), TIOCM_DTR, on);
}

bool ComPortDevice::setRtsLine(bool on)
{
    return portHandle >= 0 && setModemLine(int(portHandle), TIOCM_RTS, on);
}

bool ComPortDevice::isPortAlive()
{
    if (portHandle < 0)
        return false;
    const int fd = int(portHandle);
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return false;
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) == 0)
        return true;
    // A pseudo-terminal has no modem lines; that alone does not make it dead.
    return errno == ENOTTY || errno == EINVAL;
}

bool ComPortDevice::waitForInput(int timeoutMs, int wakeFd)
{
    if (portHandle < 0)
        return false;
    // Whatever the wait found, only bytes in the queue count: a device that went may
    // still have left some, and a hang-up alone is no input.
    if (waitFor(int(portHandle), POLLIN, timeoutMs < 0 ? 0 : timeoutMs, wakeFd) == Wait::Woken)
        return false;
    return inputQueueLength() > 0;
}

} // namespace liblumo::com

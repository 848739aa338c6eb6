#include "PosixSerial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace lumosim {

bool makeRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | PARENB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

UniqueFd openSerial(const std::string &path, std::string &error)
{
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        error = "cannot open " + path + ": " + lastErrorText();
        return fd;
    }
    if (!::isatty(fd.get()) || !makeRaw(fd.get())) {
        error = path + " is not a configurable serial line: " + lastErrorText();
        return UniqueFd();
    }
    ::tcflush(fd.get(), TCIOFLUSH);
    return fd;
}

void drainSerial(int fd)
{
    ::tcdrain(fd);
}

} // namespace lumosim

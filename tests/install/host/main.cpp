// A host built against the installed library: opens and stops a channel, and uses an
// exported helper.
#include <liblumo.h>

#include <cstdio>

namespace {
int onEvent(liblumo::lumo_Event, void *, void *, liblumo::lumo_ErrorCodes)
{
    return 0;
}
} // namespace

int main()
{
    liblumo::LibLumo lumo;
    liblumo::TCPProfile noPort; // nothing to listen on: refused at once
    liblumo::lumo_ErrorCodes error = liblumo::ERR_NONE;
    if (lumo.startChannel(&noPort, &onEvent, nullptr, &error) != 1 ||
        error != liblumo::ERR_PORT_UNAVAILABLE)
        return 1;
    liblumo::SerialProfile serial; // a port that never appears: the channel keeps trying
    serial.setPortName("/nonexistent/lumo-install-check");
    const int id = lumo.startChannel(&serial, &onEvent, nullptr, &error);
    if (id != 2 || error != liblumo::ERR_NONE)
        return 1;
    lumo.stopChannel(id, &error);
    const QString din = liblumo::helpers::decValue(1234, 9);
    std::printf("%s-%s-%s\n", qPrintable(din.mid(0, 3)), qPrintable(din.mid(3, 3)),
                qPrintable(din.mid(6, 3)));
    return error == liblumo::ERR_NONE ? 0 : 1;
}

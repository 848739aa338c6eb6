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
    liblumo::TCPProfile profile; // no port: the channel only waits for its stop
    liblumo::lumo_ErrorCodes error = liblumo::ERR_THREAD_START;
    const int id = lumo.startChannel(&profile, &onEvent, nullptr, &error);
    if (id != 1 || error != liblumo::ERR_NONE)
        return 1;
    lumo.stopChannel(id, &error);
    const QString din = liblumo::helpers::decValue(1234, 9);
    std::printf("%s-%s-%s\n", qPrintable(din.mid(0, 3)), qPrintable(din.mid(3, 3)),
                qPrintable(din.mid(6, 3)));
    return error == liblumo::ERR_NONE ? 0 : 1;
}

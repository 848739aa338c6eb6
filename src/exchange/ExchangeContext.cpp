#include "exchange/ExchangeContext.h"

namespace liblumo {

namespace {
thread_local uint64_t raisingConnection = 0;

// Names the connection for the length of one callback; a callback raised from inside
// another (none is today) would see its own connection and leave the outer one in place.
class RaisingScope {
public:
    explicit RaisingScope(uint64_t id) : outer(raisingConnection) { raisingConnection = id; }
    ~RaisingScope() { raisingConnection = outer; }
    RaisingScope(const RaisingScope &) = delete;
    RaisingScope &operator=(const RaisingScope &) = delete;

private:
    uint64_t outer;
};
} // namespace

void ExchangeContext::raise(lumo_Event event, lumo_EventData *data) const
{
    if (!callback)
        return;
    const RaisingScope scope(connectionId);
    callback(event, data, user, ERR_NONE);
}

uint64_t connectionRaising()
{
    return raisingConnection;
}

} // namespace liblumo

// The exchange thread: serves every device behind one live connection until the
// connection is lost, the channel falls idle, or a stop is requested.
#ifndef LIBLUMO_EXCHANGE_EXCHANGETHREAD_H
#define LIBLUMO_EXCHANGE_EXCHANGETHREAD_H

#include <QString>

namespace liblumo {

// Thread body; takes an ExchangeContext, returns null.
void *_threadExchange(void *context);

// Asks the host whether to accept the device that sent this handshake (context: the
// ExchangeContext). True when the host wrote a nonzero low byte into `answer`; false, with
// nothing raised, for a null context.
bool confirmDevice(const QString &din, void *context);

} // namespace liblumo

#endif

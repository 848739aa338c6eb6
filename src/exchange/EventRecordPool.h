// The event records of one channel's connections. A record is 132140 bytes, most of it a
// measurement's payload, so a connection borrows one only for as long as it raises an
// event or transfers a measurement: a fleet of idle connections holds no record each, only
// as many as callbacks run at once.
//
// A borrowed record reads as zero, the DIN aside, in every field the library or a host
// keeping to the record's rules writes: the header fields and `answerData` are cleared
// when it comes back, and of the payload the part the library filled (a status, a
// measurement). Bytes a host writes elsewhere into the payload are not cleared.
#ifndef LIBLUMO_EXCHANGE_EVENTRECORDPOOL_H
#define LIBLUMO_EXCHANGE_EVENTRECORDPOOL_H

#include "liblumo.h"

#include <QString>

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace liblumo {

class EventRecordPool {
    // Records live in pages of their own: a fresh one is zero and costs only the pages an
    // event writes, and a record beyond those kept goes back to the system at once.
    struct PageDeleter {
        void operator()(lumo_EventData *record) const;
    };
    using RecordPtr = std::unique_ptr<lumo_EventData, PageDeleter>;

public:
    // Records kept for reuse once returned; more are freed.
    static constexpr std::size_t kMaxKept = 4;

    class Lease {
    public:
        Lease(Lease &&other) noexcept;
        Lease &operator=(Lease &&) = delete;
        Lease(const Lease &) = delete;
        ~Lease();

        lumo_EventData &record() { return *data; }
        lumo_EventData *get() { return data.get(); }
        // The library wrote this many bytes at the start of the payload: they are cleared
        // when the record comes back.
        void notePayloadUsed(std::size_t bytes);

    private:
        friend class EventRecordPool;
        Lease(EventRecordPool *owner, RecordPtr record);

        EventRecordPool *pool;
        RecordPtr data;
        std::size_t payloadUsed = 0;
    };

    EventRecordPool() = default;
    EventRecordPool(const EventRecordPool &) = delete;
    EventRecordPool &operator=(const EventRecordPool &) = delete;

    // A clean record with the DIN in place. Throws std::bad_alloc when the system has no
    // memory for one, as `new` would.
    Lease borrow(const QString &din);
    std::size_t kept() const;

private:
    void giveBack(RecordPtr record, std::size_t payloadUsed);

    mutable std::mutex mutex;
    std::vector<RecordPtr> idle;
};

} // namespace liblumo

#endif

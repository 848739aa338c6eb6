#include "exchange/EventRecordPool.h"

#include "exchange/Exchange.h"
#include "helpers/PageMemory.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace liblumo {

void EventRecordPool::PageDeleter::operator()(lumo_EventData *record) const
{
    pages::release(record, sizeof *record);
}

EventRecordPool::Lease::Lease(EventRecordPool *owner, RecordPtr record)
    : pool(owner), data(std::move(record))
{
}

EventRecordPool::Lease::Lease(Lease &&other) noexcept
    : pool(other.pool), data(std::move(other.data)), payloadUsed(other.payloadUsed)
{
    other.pool = nullptr;
}

EventRecordPool::Lease::~Lease()
{
    if (pool != nullptr && data)
        pool->giveBack(std::move(data), payloadUsed);
}

void EventRecordPool::Lease::notePayloadUsed(std::size_t bytes)
{
    payloadUsed = std::max(payloadUsed, std::min(bytes, kPayloadSize));
}

EventRecordPool::Lease EventRecordPool::borrow(const QString &din)
{
    RecordPtr record;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!idle.empty()) {
            record = std::move(idle.back());
            idle.pop_back();
        }
    }
    if (!record) {
        void *memory = pages::allocate(sizeof(lumo_EventData));
        if (memory == nullptr)
            throw std::bad_alloc();
        record.reset(new (memory) lumo_EventData); // fresh pages: all zero
    }
    copyDin(*record, din);
    return Lease(this, std::move(record));
}

void EventRecordPool::giveBack(RecordPtr record, std::size_t payloadUsed)
{
    record->reserved = 0;
    std::memset(record->din, 0, sizeof record->din);
    std::memset(record->payload, 0, payloadUsed);
    record->answer = 0;
    record->answerLength = 0;
    std::memset(record->answerData, 0, sizeof record->answerData);
    const std::lock_guard<std::mutex> lock(mutex);
    if (idle.size() < kMaxKept)
        idle.push_back(std::move(record));
}

std::size_t EventRecordPool::kept() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return idle.size();
}

} // namespace liblumo

#include "exchange/DeviceTable.h"

#include "helpers/Logging.h"

#include <algorithm>
#include <vector>

namespace liblumo {

void DeviceTable::openLink(uint64_t link, com::StopSignal *closer,
                           const std::atomic<int64_t> *lastFrameMs)
{
    const std::lock_guard<std::mutex> lock(mutex);
    Link &state = liveLinks[link];
    state.closer = closer;
    state.lastFrameMs = lastFrameMs;
}

void DeviceTable::closeLink(uint64_t link)
{
    const std::lock_guard<std::mutex> lock(mutex);
    liveLinks.erase(link);
    if (restingCount() > kMaxRestingDevices)
        dropOldestResting();
}

// Called with the lock held: the entry leaves the index of its live link.
void DeviceTable::detach(const QString &din, uint64_t link)
{
    const auto live = liveLinks.find(link);
    if (live != liveLinks.end())
        live->second.dins.erase(din);
}

bool DeviceTable::mayTakeOver(const QString &din, uint64_t link, int64_t nowMs) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = entries.find(din);
    if (found == entries.end() || found->second.link == link || found->second.leaving)
        return true;
    const auto live = liveLinks.find(found->second.link);
    if (live == liveLinks.end() || live->second.lastFrameMs == nullptr)
        return true;
    const int64_t lastFrame = live->second.lastFrameMs->load(std::memory_order_relaxed);
    return nowMs - lastFrame >= kTakeOverSilenceMs;
}

uint64_t DeviceTable::handshake(const QString &din, uint64_t link, const DeviceEntry &fresh)
{
    const std::lock_guard<std::mutex> lock(mutex);
    DeviceEntry &entry = entries[din];
    const uint64_t previous = entry.link;
    const DeviceParams params = entry.params; // the host's parameters stay with the device
    entry = fresh;
    entry.params = params;
    entry.link = link;
    if (previous != link)
        detach(din, previous);
    const auto current = liveLinks.find(link);
    if (current != liveLinks.end())
        current->second.dins.insert(din);
    if (previous == 0 || previous == link)
        return 0;
    const auto live = liveLinks.find(previous);
    if (live == liveLinks.end())
        return 0;
    if (live->second.closer != nullptr)
        live->second.closer->raise();
    return previous;
}

QStringList DeviceTable::dinsOnLink(uint64_t link) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    QStringList dins;
    const auto live = liveLinks.find(link);
    if (live != liveLinks.end())
        for (const QString &din : live->second.dins)
            dins.append(din);
    return dins;
}

bool DeviceTable::copyEntry(const QString &din, uint64_t link, DeviceEntry &entry) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = entries.find(din);
    if (found == entries.end() || found->second.link != link)
        return false;
    entry = found->second;
    return true;
}

void DeviceTable::store(const QString &din, uint64_t link, const DeviceEntry &entry)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = entries.find(din);
    if (found != entries.end() && found->second.link == link)
        found->second = entry;
}

void DeviceTable::erase(const QString &din, uint64_t link)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = entries.find(din);
    if (found == entries.end() || found->second.link != link)
        return;
    detach(din, link);
    entries.erase(found);
}

void DeviceTable::markLeaving(const QString &din, uint64_t link)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = entries.find(din);
    if (found != entries.end() && found->second.link == link)
        found->second.leaving = true;
}

bool DeviceTable::hasDevicesOnLink(uint64_t link) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto live = liveLinks.find(link);
    return live != liveLinks.end() && !live->second.dins.empty();
}

QStringList DeviceTable::takeBackActions(uint64_t link)
{
    const std::lock_guard<std::mutex> lock(mutex);
    QStringList dins;
    const auto live = liveLinks.find(link);
    if (live == liveLinks.end())
        return dins;
    for (const QString &din : live->second.dins) {
        DeviceEntry &entry = entries[din];
        if (entry.state == EXCHANGE_REQUEST_ACTION)
            continue;
        entry.state = EXCHANGE_REQUEST_ACTION;
        dins.append(din);
    }
    return dins;
}

void DeviceTable::clear()
{
    const std::lock_guard<std::mutex> lock(mutex);
    entries.clear();
    for (auto &[link, state] : liveLinks)
        state.dins.clear();
}

std::size_t DeviceTable::size() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return entries.size();
}

// Called with the lock held.
std::size_t DeviceTable::restingCount() const
{
    std::size_t live = 0;
    for (const auto &[link, state] : liveLinks)
        live += state.dins.size();
    return entries.size() - std::min(live, entries.size());
}

// Called with the lock held.
void DeviceTable::dropOldestResting()
{
    std::vector<std::pair<int64_t, QString>> resting;
    for (const auto &[din, entry] : entries)
        if (liveLinks.count(entry.link) == 0)
            resting.emplace_back(entry.seenMs, din);
    if (resting.size() <= kMaxRestingDevices)
        return;
    const std::size_t excess = resting.size() - kMaxRestingDevices;
    std::partial_sort(resting.begin(), resting.begin() + std::ptrdiff_t(excess), resting.end());
    for (std::size_t i = 0; i < excess; ++i)
        entries.erase(resting[i].second);
    LUMO_INFO << "DeviceTable: resting devices dropped, oldest first:" << qint64(excess);
}

} // namespace liblumo

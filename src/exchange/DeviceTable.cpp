#include "exchange/DeviceTable.h"

#include "helpers/Logging.h"

#include <algorithm>
#include <vector>

namespace liblumo {

void DeviceTable::openLink(uint64_t link, com::StopSignal *closer)
{
    const std::lock_guard<std::mutex> lock(mutex);
    liveLinks[link] = closer;
}

void DeviceTable::closeLink(uint64_t link)
{
    const std::lock_guard<std::mutex> lock(mutex);
    liveLinks.erase(link);
    dropOldestResting();
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
    if (previous == 0 || previous == link)
        return 0;
    const auto live = liveLinks.find(previous);
    if (live == liveLinks.end())
        return 0;
    if (live->second != nullptr)
        live->second->raise();
    return previous;
}

QStringList DeviceTable::dinsOnLink(uint64_t link) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    QStringList dins;
    for (const auto &[din, entry] : entries)
        if (entry.link == link)
            dins.append(din);
    return dins;
}

bool DeviceTable::take(const QString &din, uint64_t link, DeviceEntry &entry) const
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
    if (found != entries.end() && found->second.link == link)
        entries.erase(found);
}

bool DeviceTable::hasDevicesOnLink(uint64_t link) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return std::any_of(entries.begin(), entries.end(),
                       [link](const auto &item) { return item.second.link == link; });
}

QStringList DeviceTable::takeBackActions(uint64_t link)
{
    const std::lock_guard<std::mutex> lock(mutex);
    QStringList dins;
    for (auto &[din, entry] : entries) {
        if (entry.link != link || entry.state == EXCHANGE_REQUEST_ACTION)
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
}

std::size_t DeviceTable::size() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return entries.size();
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

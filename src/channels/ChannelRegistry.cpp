#include "ChannelRegistry.h"

#include "ChannelRecord.h"

#include <pthread.h>

#include <map>
#include <tuple>

namespace liblumo::registry {

namespace {

struct Registry {
    std::map<int, ChannelRecord> channels;
    int nextChannelId = 1;
};

// Guards the map and the id counter. Initialised statically so it is usable from the
// first call on and never re-initialised under a running channel.
pthread_mutex_t registryMutex = PTHREAD_MUTEX_INITIALIZER;

// Allocated once and never destroyed: detached channel threads may still hold their
// records while the process exits, so the map must outlive every static destructor.
Registry &instance()
{
    static Registry *registry = new Registry;
    return *registry;
}

class RegistryLock {
public:
    RegistryLock() { pthread_mutex_lock(&registryMutex); }
    ~RegistryLock() { pthread_mutex_unlock(&registryMutex); }
    RegistryLock(const RegistryLock &) = delete;
    RegistryLock &operator=(const RegistryLock &) = delete;
};

} // namespace

void reset()
{
    RegistryLock lock;
    Registry &registry = instance();
    // Records of open channels are in use by their threads: keep them and their ids.
    if (registry.channels.empty())
        registry.nextChannelId = 1;
}

int registerChannel(IChannelProfile *profile, EventCallback callback, void *user,
                    ChannelRecord **record)
{
    RegistryLock lock;
    Registry &registry = instance();
    const int id = registry.nextChannelId++;
    auto placed = registry.channels.emplace(std::piecewise_construct, std::forward_as_tuple(id),
                                            std::forward_as_tuple(id, profile, callback, user));
    *record = &placed.first->second;
    return id;
}

void unregisterChannel(int id)
{
    RegistryLock lock;
    instance().channels.erase(id);
}

ChannelRecord *findChannel(int id)
{
    RegistryLock lock;
    auto found = instance().channels.find(id);
    return found == instance().channels.end() ? nullptr : &found->second;
}

ChannelRecord *claimStop(int id, bool *alreadyStopping)
{
    RegistryLock lock;
    *alreadyStopping = false;
    auto found = instance().channels.find(id);
    if (found == instance().channels.end())
        return nullptr;
    if (found->second.stopping) {
        *alreadyStopping = true;
        return nullptr;
    }
    found->second.stopping = true;
    return &found->second;
}

int channelCount()
{
    RegistryLock lock;
    return int(instance().channels.size());
}

} // namespace liblumo::registry

#include "ProcessStats.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace bench {

namespace {

double toSeconds(const timeval &value)
{
    return value.tv_sec + value.tv_usec / 1e6;
}

// Entries of a /proc directory, without "." and "..".
int countEntries(const char *path)
{
    DIR *dir = ::opendir(path);
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ++count;
    }
    ::closedir(dir);
    return count;
}

} // namespace

double processCpuSeconds()
{
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return 0.0;
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

double callingThreadCpuSeconds()
{
    timespec value{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &value) != 0)
        return 0.0;
    return value.tv_sec + value.tv_nsec / 1e9;
}

void nameThisThread(const char *name)
{
    ::pthread_setname_np(::pthread_self(), name);
}

uint64_t residentBytes()
{
    std::FILE *file = std::fopen("/proc/self/statm", "r");
    if (!file)
        return 0;
    unsigned long long sizePages = 0;
    unsigned long long residentPages = 0;
    const int fields = std::fscanf(file, "%llu %llu", &sizePages, &residentPages);
    std::fclose(file);
    if (fields != 2)
        return 0;
    return residentPages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

int openDescriptorCount()
{
    const int count = countEntries("/proc/self/fd");
    // The directory stream itself held one descriptor while it was read.
    return count < 0 ? -1 : count - 1;
}

int threadCount()
{
    return countEntries("/proc/self/task");
}

} // namespace bench

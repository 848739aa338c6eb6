#include "Options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

void printUsage(const char *program)
{
    std::fprintf(
        stderr,
        "usage: %s [--rounds N] [--measurements N] [--paced N] [--cpu-seconds S]\n"
        "          [--stops N] [--quick] [--only transfer|paced|cpu|stop|memory|python|fleet]\n"
        "          [--link tcp|pty]\n",
        program);
}

bool takeInt(int argc, char **argv, int &index, int &value)
{
    if (index + 1 >= argc)
        return false;
    value = std::atoi(argv[++index]);
    return value > 0;
}

} // namespace

bool parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        int cpuSeconds = 0;
        bool ok = true;
        if (std::strcmp(arg, "--rounds") == 0)
            ok = takeInt(argc, argv, i, options.rounds);
        else if (std::strcmp(arg, "--measurements") == 0)
            ok = takeInt(argc, argv, i, options.measurements);
        else if (std::strcmp(arg, "--paced") == 0)
            ok = takeInt(argc, argv, i, options.pacedRepetitions);
        else if (std::strcmp(arg, "--stops") == 0)
            ok = takeInt(argc, argv, i, options.stopRepetitions);
        else if (std::strcmp(arg, "--cpu-seconds") == 0) {
            ok = takeInt(argc, argv, i, cpuSeconds);
            options.cpuSeconds = cpuSeconds;
        } else if (std::strcmp(arg, "--only") == 0 && i + 1 < argc) {
            options.only = argv[++i];
        } else if (std::strcmp(arg, "--link") == 0 && i + 1 < argc) {
            options.link = argv[++i];
        } else if (std::strcmp(arg, "--quick") == 0) {
            options.quick = true;
            options.rounds = 3;
            options.pingPongFrames = 5000;
            options.warmUpFrames = 1000;
            options.measurements = 2;
            options.cpuSeconds = 2.0;
            options.stopRepetitions = 3;
        } else
            ok = false;
        if (!ok) {
            printUsage(argv[0]);
            return false;
        }
    }
    return true;
}

} // namespace bench

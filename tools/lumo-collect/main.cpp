// lumo-collect: the command-line host of liblumo.
#include "Collector.h"
#include "ConfigFile.h"
#include "Options.h"
#include "PgConnection.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

int usageError(const std::string &error)
{
    std::fprintf(stderr, "lumo-collect: %s\nTry lumo-collect --help.\n", error.c_str());
    return lumo_collect::kExitUsage;
}

// The configuration file first, then what the command line gives over it.
bool mergeConfigFile(lumo_collect::Options &options, std::string &error)
{
    if (options.configFile.empty())
        return true;
    lumo_collect::Options merged;
    if (!lumo_collect::loadConfigFile(options.configFile, merged, error))
        return false;
    lumo_collect::applyGivenOptions(options, merged);
    merged.configFile = options.configFile;
    options = merged;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    using namespace lumo_collect;
    const std::vector<std::string> args(argv + 1, argv + argc);
    bool passwordOnCommandLine = false;
    for (int i = 1; i < argc; ++i)
        passwordOnCommandLine = hideUrlPassword(argv[i]) || passwordOnCommandLine;
    Options options;
    std::string error;
    if (!parseOptions(args, options, error))
        return usageError(error);
    options.passwordOnCommandLine = passwordOnCommandLine;
    switch (options.mode) {
    case Mode::Help:
        std::fputs(usageText().c_str(), stdout);
        return kExitOk;
    case Mode::Serve:
        return runServe(options);
    case Mode::Version:
        std::fputs(versionText().c_str(), stdout);
        return kExitOk;
    case Mode::Plot:
        return runPlot(options);
    case Mode::Export:
        return runExport(options);
    case Mode::Collect:
        break;
    }
    if (!mergeConfigFile(options, error) || !checkCollectOptions(options, error))
        return usageError(error);
    return runCollect(options);
}

// lumo-collect: the command-line host of liblumo.
#include "Collector.h"
#include "Options.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    using namespace lumo_collect;
    const std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    std::string error;
    if (!parseOptions(args, options, error)) {
        std::fprintf(stderr, "lumo-collect: %s\nTry lumo-collect --help.\n", error.c_str());
        return kExitUsage;
    }
    switch (options.mode) {
    case Mode::Help:
        std::fputs(usageText().c_str(), stdout);
        return kExitOk;
    case Mode::Serve:
        return runServe(options);
    case Mode::Plot:
        return runPlot(options);
    case Mode::Collect:
        break;
    }
    return runCollect(options);
}

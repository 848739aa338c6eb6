// The two things the tool does: a collection run, and the plot of a stored measurement.
#ifndef LUMO_COLLECT_COLLECTOR_H
#define LUMO_COLLECT_COLLECTOR_H

#include "Options.h"

namespace lumo_collect {

int runCollect(const Options &options);
int runPlot(const Options &options);

} // namespace lumo_collect

#endif

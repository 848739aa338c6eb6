// The library logs to the Qt message log, category "default". The tool decides what is
// shown (-v: the conversation at info level, -vv: also the debug buffer traces; default:
// warnings and worse only) and writes the lines through the Console (source "lumo").
#ifndef LUMO_COLLECT_LOGSETUP_H
#define LUMO_COLLECT_LOGSETUP_H

#include <QtGlobal>

#include <string>

namespace lumo_collect {

// The QLoggingCategory filter rules for a verbosity of 0, 1, 2 (more counts as 2).
std::string logFilterRules(int verbosity);
// Applies the rules and installs the tool's message handler.
void setupLogging(int verbosity);

} // namespace lumo_collect

#endif

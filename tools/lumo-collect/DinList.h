// DIN texts as the devices report them ("NNN-NNN-NNN") and the --accept list.
#ifndef LUMO_COLLECT_DINLIST_H
#define LUMO_COLLECT_DINLIST_H

#include <set>
#include <string>

namespace lumo_collect {

// Three groups of three decimal digits joined by '-'.
bool isValidDin(const std::string &din);

// "NNN-NNN-NNN[,NNN-NNN-NNN...]", blanks around the items allowed. On failure returns
// false and names the offending item in error; dins is then left unchanged.
bool parseDinList(const std::string &text, std::set<std::string> &dins, std::string &error);

} // namespace lumo_collect

#endif

// The compaction that `likeness compact` runs, and `likeness remove --missing` too: the feature
// file rewritten without what it loads nothing from, and a report of what went.
#ifndef LIKENESS_HOST_COMMANDS_COMPACTION_H
#define LIKENESS_HOST_COMMANDS_COMPACTION_H

#include "CommandSupport.h"

namespace likeness_cli {

// Compacts the feature file of the home the process is in, which the caller has locked; lists the
// keys whose last record went when listGoneKeys is set. Returns the exit status.
int compactHome(bool listGoneKeys, const PathDisplay& display);

}  // namespace likeness_cli

#endif

// The two entry points of the likeness library, with C linkage so a host can also find them
// with dlsym("InitialModule"). This is the header a host includes.
#ifndef LIKENESS_MODULE_MODULE_H
#define LIKENESS_MODULE_MODULE_H

#include <string>

#include "module/Export.h"
#include "module/IModule.h"
#include "module/ImplIModule.h"

// Builds a module whose collection is the feature file featdbfile ("feat.txt" when empty); every
// relative path (the model in model/, the feature file, stored pictures, the log) resolves against
// the working directory. Never returns null: a missing model ends the process with status 48, an
// empty network with status 156; exceptions from OpenCV or allocation reach the caller.
extern "C" LIKENESS_API ImplIModule* InitialModule(std::string featdbfile);

// Destroys a module built by InitialModule. The feature file is left as it is: every record was
// written when its picture was added.
extern "C" LIKENESS_API void ExitModule(ImplIModule* module);

#endif

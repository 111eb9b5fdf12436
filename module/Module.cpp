// The library's two exported entry points.
// Exceptions from construction pass through to the host untouched.
#include "module/Module.h"

extern "C" ImplIModule* InitialModule(std::string featdbfile) {
    return new ImplIModule(featdbfile);
}

extern "C" void ExitModule(ImplIModule* module) {
    delete module;
}

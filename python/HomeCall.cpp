// Entering a home for one call, and coming back to the caller's folder.
#include "HomeCall.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace likeness_python {
namespace {

std::mutex& processLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

HomeCall::HomeCall(std::filesystem::path home) : hold(processLock()), home(std::move(home)) {}

HomeCall::~HomeCall() {
    if (callerFolder < 0) return;
    // The caller's folder was open all along, so only its removal meanwhile could keep us out of
    // it; staying in the home is then the least harm.
    [[maybe_unused]] const int back = fchdir(callerFolder);
    close(callerFolder);
}

std::string HomeCall::absolute(const std::string& path) const {
    std::error_code error;
    const std::filesystem::path made = std::filesystem::absolute(path, error);
    return error ? path : made.string();
}

void HomeCall::enter() {
    callerFolder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (callerFolder < 0) {
        const int error = errno;
        throw FolderError(std::string("cannot open the working folder: ") + std::strerror(error), error);
    }
    if (chdir(home.c_str()) != 0) {
        const int error = errno;
        close(callerFolder);
        callerFolder = -1;
        throw FolderError("cannot enter the home " + home.string() + ": " + std::strerror(error), error);
    }
}

}  // namespace likeness_python

// One writer per home: an exclusive lock on the home folder, held while the object lives and
// released by the system when the process ends, however it ends (a crash or SIGKILL included).
#ifndef LIKENESS_HOST_HOMELOCK_H
#define LIKENESS_HOST_HOMELOCK_H

#include <filesystem>
#include <optional>
#include <string>

namespace likeness_cli {

class HomeLock {
public:
    // Takes the home's lock without waiting for it. When another process holds it (or the folder
    // cannot be opened), returns nothing and says why in whyNot, naming the home.
    static std::optional<HomeLock> acquire(const std::filesystem::path& home, std::string& whyNot);

    HomeLock(HomeLock&& other) noexcept;
    HomeLock& operator=(HomeLock&& other) noexcept;
    HomeLock(const HomeLock&) = delete;
    HomeLock& operator=(const HomeLock&) = delete;
    ~HomeLock();

private:
    explicit HomeLock(int fd) : fd(fd) {}

    int fd = -1;
};

}  // namespace likeness_cli

#endif

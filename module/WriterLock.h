// One writer per collection: an exclusive advisory lock (flock) on the folder that holds a feature
// file. The library takes it around every write of the file (each add, removal and compaction) and
// refuses to write while another process holds it; a host may hold it longer (the likeness command
// for a whole command, its service for its life). The system drops it when the process ends,
// however it ends. Within a process the lock is shared: taking it again while the process holds it
// succeeds at once, so a host that holds it can still call the library.
#ifndef LIKENESS_MODULE_WRITERLOCK_H
#define LIKENESS_MODULE_WRITERLOCK_H

#include <cstdint>
#include <optional>
#include <string>

#include "module/Export.h"

namespace likeness {

class LIKENESS_API WriterLock {
public:
    // Takes the lock on folder without waiting. Nothing, with why in whyNot (naming the folder),
    // when another process holds it or the folder cannot be opened.
    static std::optional<WriterLock> acquire(const std::string& folder, std::string& whyNot);
    // The lock on the folder that holds the feature file at featureFile.
    static std::optional<WriterLock> forFeatureFile(const std::string& featureFile, std::string& whyNot);

    WriterLock(WriterLock&& other) noexcept;
    WriterLock& operator=(WriterLock&& other) noexcept;
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;
    ~WriterLock();

private:
    WriterLock(std::uint64_t device, std::uint64_t inode) : device(device), inode(inode), held(true) {}
    void release();

    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool held = false;
};

}  // namespace likeness

#endif

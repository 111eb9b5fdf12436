// The feature file's compaction. Two passes over the old file: the first finds out whether anything
// goes at all and which record of each key is the last; the second copies the lines that stay into
// the new file, one block of the old file and one buffer of output at a time.
#include "module/FeatureFileRewrite.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "log/EasyLog.h"
#include "module/FeatureLoader.h"
#include "module/FileIo.h"
#include "module/KeyFileCheck.h"
#include "module/KeyRules.h"
#include "module/LogText.h"
#include "module/PlainDecimal.h"
#include "module/RemovalList.h"
#include "module/WriterLock.h"

namespace {

constexpr std::size_t kOutputBytes = std::size_t{1} << 20;

// Logs why path could not be rewritten, keeping errno for the caller.
void logFailure(const std::string& path, const char* step) {
    const int cause = errno;
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "cannot rewrite the feature file %s: %s: %s\n",
                                     logText(path).c_str(), step, std::strerror(cause));
    errno = cause;
}

// What a compaction drops: everything the loader skips.
class Plan {
public:
    Plan(const std::string& path, int featDim)
        : values(static_cast<std::size_t>(featDim)), rules(path, EasyLog::GetInstance()->FilePath()), files(rules) {}

    // The keys of the records dropped because their file is gone, in file order.
    std::vector<std::string> goneKeys;
    // The removals the loader applies to the file being read.
    RemovalList removals;

    // The first pass: true when some line of the file will go.
    class Survey : public FeatureLineSink {
    public:
        explicit Survey(Plan& plan) : plan(plan) {}
        void line(const char* begin, const char* end, std::uint64_t offset) override {
            std::string_view key;
            if (!readFeatureRecord(begin, end, key, plan.values)) {
                dropsSome = true;
                return;
            }
            ++records;
            plan.keyText.assign(key.data(), key.size());
            if (plan.removals.removes(plan.keyText, offset)) {
                dropsSome = true;
                return;
            }
            const auto [entry, isNew] = plan.lastRecords.try_emplace(plan.keyText);
            if (isNew) entry->second.loads = plan.files.accepts(plan.keyText);
            if (!isNew || !entry->second.loads) dropsSome = true;
            entry->second.last = records - 1;
        }
        void longLinePiece(const char*, const char*, bool) override { dropsSome = true; }

        bool dropsSome = false;
        std::size_t records = 0;

    private:
        Plan& plan;
    };

    // The second pass: hands the lines that stay to out, counting what goes.
    class Copy : public FeatureLineSink {
    public:
        Copy(Plan& plan, RewriteCounts& counts, int fd) : plan(plan), counts(counts), fd(fd) {
            pending.reserve(kOutputBytes + kMaxRecordLineBytes + 1);
        }
        void line(const char* begin, const char* end, std::uint64_t offset) override {
            std::string_view key;
            if (!readFeatureRecord(begin, end, key, plan.values)) {
                ++counts.torn;
                return;
            }
            const std::size_t ordinal = records++;
            plan.keyText.assign(key.data(), key.size());
            if (plan.removals.removes(plan.keyText, offset)) {
                ++counts.removed;
                return;
            }
            const auto found = plan.lastRecords.find(plan.keyText);
            // A key the survey did not see (the file grew since) stays: nothing unknown is dropped.
            const LastRecord last = found == plan.lastRecords.end() ? LastRecord{ordinal, true} : found->second;
            if (last.last != ordinal) {
                ++counts.duplicates;
                return;
            }
            if (!last.loads) {
                ++counts.missing;
                plan.goneKeys.push_back(plan.keyText);
                return;
            }
            ++counts.kept;
            keep(begin, end);
        }
        void longLinePiece(const char*, const char*, bool first) override {
            if (first) ++counts.torn;
        }

        // Writes what is still buffered. False, with errno set, when any write failed; written
        // tells how many bytes the new file holds.
        bool finish() {
            flush();
            return !failed;
        }
        std::uint64_t written = 0;

    private:
        void keep(const char* begin, const char* end) {
            pending.append(begin, end);
            pending += '\n';
            if (pending.size() >= kOutputBytes) flush();
        }
        void flush() {
            if (failed || pending.empty()) return;
            failed = !writeAll(fd, pending.data(), pending.size());
            written += pending.size();
            pending.clear();
        }

        Plan& plan;
        RewriteCounts& counts;
        int fd;
        std::string pending;
        std::size_t records = 0;
        bool failed = false;
    };

private:
    struct LastRecord {
        std::size_t last = 0;
        bool loads = false;
    };

    std::vector<float> values;
    std::string keyText;
    KeyRules rules;
    KeyFileCheck files;
    std::unordered_map<std::string, LastRecord> lastRecords;
};

// Removes what earlier processes, killed in the middle of a rewrite, left beside path: files
// path + ".partial-PID-N" whose process no longer runs.
void removeLeftovers(const std::string& path) {
    const std::filesystem::path file(path);
    const std::string prefix = file.filename().string() + ".partial-";
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char* stop = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &stop, 10);
        if (*stop != '-' || pid <= 0 || pid == getpid()) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        fileCalls().unlink(entry->path().c_str());
    }
}

// Closes fd and removes the new file after a failure, keeping the failure's errno.
void discard(int fd, const std::string& temporary) {
    const int cause = errno;
    if (fd >= 0) fileCalls().close(fd);
    fileCalls().unlink(temporary.c_str());
    errno = cause;
}

RewriteOutcome failWith(int old, const std::string& path, const char* step) {
    logFailure(path, step);
    const int cause = errno;
    fileCalls().close(old);
    errno = cause;
    return RewriteOutcome::failed;
}

// Deletes the removal list of a file that holds none of what it removes; logs a failure.
RewriteOutcome withoutRemovalList(const std::string& path) {
    if (deleteRemovalList(path)) return RewriteOutcome::rewritten;
    logFailure(path, "cannot delete its removal list");
    return RewriteOutcome::failed;
}

RewriteOutcome rewrite(const std::string& path, Plan& plan, RewriteCounts& counts) {
    counts = RewriteCounts();
    std::string whyNot;
    const std::optional<likeness::WriterLock> lock = likeness::WriterLock::forFeatureFile(path, whyNot);
    if (!lock) {
        logFailure(path, "another process is writing it");
        return RewriteOutcome::failed;
    }
    if (!settleRemovalList(path)) {
        logFailure(path, "cannot read or settle its removal list");
        return RewriteOutcome::failed;
    }
    const int old = fileCalls().open(path.c_str(), O_RDONLY, 0);
    if (old < 0) {
        if (errno == ENOENT) return withoutRemovalList(path);
        logFailure(path, "cannot open it");
        return RewriteOutcome::failed;
    }
    struct stat status;
    if (fstat(old, &status) != 0) return failWith(old, path, "cannot read it");
    if (!RemovalList::read(path, static_cast<std::uint64_t>(status.st_size), plan.removals))
        return failWith(old, path, "cannot read its removal list");
    Plan::Survey survey(plan);
    if (!readFeatureLines(old, survey)) return failWith(old, path, "cannot read it");
    if (!survey.dropsSome) {
        counts.kept = survey.records;
        fileCalls().close(old);
        return withoutRemovalList(path);
    }
    if (lseek(old, 0, SEEK_SET) != 0) return failWith(old, path, "cannot read it");

    removeLeftovers(path);
    const std::string temporary = temporaryNameBeside(path);
    const int fd = fileCalls().open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return failWith(old, path, "cannot create the new file");
    // The new file keeps who may read the old one: a collection may be private.
    if (fchmod(fd, status.st_mode & 07777) != 0) {
        discard(fd, temporary);
        return failWith(old, path, "cannot set the new file's mode");
    }
    Plan::Copy copy(plan, counts, fd);
    if (!readFeatureLines(old, copy)) {
        discard(fd, temporary);
        return failWith(old, path, "cannot read it");
    }
    if (!copy.finish() || fileCalls().fsync(fd) != 0) {
        discard(fd, temporary);
        return failWith(old, path, "cannot write the new file");
    }
    if (fileCalls().close(fd) != 0) {
        discard(-1, temporary);
        return failWith(old, path, "cannot write the new file");
    }
    fileCalls().close(old);
    // From the rename on, the list must be known not to apply to the new file.
    if (!markRemovalListFolded(path, copy.written)) {
        discard(-1, temporary);
        logFailure(path, "cannot mark its removal list");
        return RewriteOutcome::failed;
    }
    if (fileCalls().rename(temporary.c_str(), path.c_str()) != 0) {
        discard(-1, temporary);
        logFailure(path, "cannot put the new file in its place");
        return RewriteOutcome::failed;
    }
    // Until the rename is on the disk, a power cut may bring the old file back, to which the list
    // still applies; so the list stays then.
    if (!syncFolderOf(path)) {
        logFailure(path, "cannot sync its folder");
        return RewriteOutcome::folderNotSynced;
    }
    // A list left now is known not to apply, and the next writer deletes it.
    if (!deleteRemovalList(path)) logFailure(path, "cannot delete its removal list, which no longer applies");
    return RewriteOutcome::rewritten;
}

}  // namespace

RewriteOutcome compactFeatureFile(const std::string& path, int featDim, RewriteCounts& counts,
                                  std::vector<std::string>* goneKeys) {
    Plan plan(path, featDim);
    const RewriteOutcome outcome = rewrite(path, plan, counts);
    if (outcome != RewriteOutcome::failed && goneKeys != nullptr)
        goneKeys->insert(goneKeys->end(), plan.goneKeys.begin(), plan.goneKeys.end());
    return outcome;
}

std::string recordKey(const std::string& line, int featDim) {
    std::vector<float> values(static_cast<std::size_t>(featDim));
    std::string_view key;
    std::string padded = line;
    // The record reader looks a little past a line's end, as the loader's blocks allow.
    padded.append(kPlainDecimalReach, '\0');
    if (!readFeatureRecord(padded.data(), padded.data() + line.size(), key, values)) return "";
    return std::string(key);
}

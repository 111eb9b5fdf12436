// One call of the library on behalf of Python, made in the collection's home: the library resolves
// every relative path (the model, the feature file, stored pictures, the log) against the working
// folder, which belongs to the whole process, so a call takes the process's one lock, moves into
// the home and comes back before it lets go.
#ifndef LIKENESS_PYTHON_HOMECALL_H
#define LIKENESS_PYTHON_HOMECALL_H

#include <filesystem>
#include <mutex>
#include <string>

namespace likeness_python {

// Thrown when the home cannot be entered or left; Python sees an OSError.
class FolderError : public std::runtime_error {
public:
    FolderError(const std::string& what, int error) : std::runtime_error(what), error(error) {}
    int error;
};

class HomeCall {
public:
    // Takes the lock; the working folder is still the caller's, so paths the caller gave are made
    // absolute with absolute() before enter().
    explicit HomeCall(std::filesystem::path home);
    ~HomeCall();
    HomeCall(const HomeCall&) = delete;
    HomeCall& operator=(const HomeCall&) = delete;

    std::string absolute(const std::string& path) const;
    // Moves into the home; throws FolderError when it cannot.
    void enter();

private:
    std::unique_lock<std::mutex> hold;
    std::filesystem::path home;
    int callerFolder = -1;  // open while inside the home
};

}  // namespace likeness_python

#endif

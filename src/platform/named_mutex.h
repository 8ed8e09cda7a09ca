// A mutex shared by all threads of all processes that use the same name:
// an in-process std::mutex (flock does not exclude threads sharing one descriptor)
// plus flock on a lock file (released by the kernel if a holder dies). Lock files live in
// a folder private to the user ($XDG_RUNTIME_DIR, else a 0700 "orvel-<uid>" folder under
// the temp folder), mode 0600, so another user can neither hold nor replace them.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

class NamedMutex {
public:
    explicit NamedMutex(std::string_view name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    void lock();
    void unlock();

    // Empty when no private lock folder could be had: only this process's threads are serialised.
    const std::string& LockFilePath() const { return m_path; }

private:
    // Opens and checks the lock file at m_path (found once, when constructed).
    void Open();

    std::mutex m_local;
    std::string m_path;
    int m_fd = -1;
    int m_pid = 0;
};

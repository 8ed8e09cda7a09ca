// A mutex shared by all threads of all processes that use the same name:
// an in-process std::mutex (flock does not exclude threads sharing one descriptor)
// plus flock on a lock file in the temp folder (released by the kernel if a holder dies).
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

  const std::string& LockFilePath() const { return m_path; }

 private:
  void Open();

  std::mutex m_local;
  std::string m_path;
  int m_fd = -1;
  int m_pid = 0;
};

#include "platform/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

std::string TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = (tmp != nullptr && tmp[0] != 0) ? tmp : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// The name becomes a file name: keep it to safe characters so it cannot leave the temp folder.
std::string SafeName(std::string_view name) {
  std::string out;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    out += ok ? c : '_';
  }
  return out;
}

}  // namespace

NamedMutex::NamedMutex(std::string_view name) : m_path(TempFolder() + "/orvel-" + SafeName(name) + ".lock") { Open(); }

void NamedMutex::Open() {
  m_pid = ::getpid();
  // The temp folder is shared with everyone: never follow a link planted at the lock's name
  // (fchmod would then open up whatever file it points to).
  m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (m_fd >= 0) {
    struct stat st {};
    if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
      ::fchmod(m_fd, 0666);  // other users of the machine share the lock; errors are harmless
  } else {
    m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);  // flock works on read-only descriptors too
  }
}

NamedMutex::~NamedMutex() {
  if (m_fd >= 0) ::close(m_fd);
}

void NamedMutex::lock() {
  m_local.lock();
  if (m_pid != ::getpid()) {
    // A forked child shares the parent's open file description, and flock would not keep
    // the two apart: the child takes a description of its own.
    if (m_fd >= 0) ::close(m_fd);
    Open();
  }
  if (m_fd < 0) return;  // no lock file: threads are still serialised
  while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void NamedMutex::unlock() {
  if (m_fd >= 0) ::flock(m_fd, LOCK_UN);
  m_local.unlock();
}

// PlatformPosix.cpp - the platform layer on POSIX systems (Linux).
//
// Handles are file descriptors plus one, so that 0 stays "not held". Error
// codes are errno values and their texts come from strerror. A file is
// opened with an advisory fcntl lock (shared to read, exclusive to change),
// which gives the Windows share mode's promise: readers may share a file,
// but nobody changes it while another run holds it.
#include <cerrno>
#include <csignal>  // signal: SIGXFSZ; sigaction: the temporary file
#include <cstdio>   // snprintf, rename
#include <cstdint>
#include <cstdlib>  // calloc, free, exit
#include <cstring>  // strerror, strlen

#include <dirent.h>  // opendir, readdir: the list action
#include <fcntl.h>
#include <sys/mman.h>  // mmap, madvise: heap blocks
#include <sys/resource.h>  // getrlimit: the file-size limit
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/Platform.h"

namespace platform {

namespace {

Handle fromDescriptor(int fd) { return static_cast<Handle>(fd) + 1; }
int toDescriptor(Handle handle) { return static_cast<int>(handle - 1); }

// The one temporary file a run may hold, removed when a signal ends the
// process before the file is put in place.
char gTempPath[kTempPathSize];
volatile std::sig_atomic_t gTempHeld = 0;
const int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE};

void removeTempAndEnd(int signal) {
  if (gTempHeld) unlink(gTempPath);
  // The handler was reset to the default on entry: end as the signal would.
  raise(signal);
}

// Catches the ending signals that are not ignored, once.
void catchEndingSignals() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  for (int signal : kEndingSignals) {
    struct sigaction old;
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
      continue;
    struct sigaction action = {};
    action.sa_handler = removeTempAndEnd;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

// Blocks or unblocks the ending signals around the creation of the file.
void blockEndingSignals(bool block, sigset_t* saved) {
  if (!block) {
    sigprocmask(SIG_SETMASK, saved, nullptr);
    return;
  }
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kEndingSignals) sigaddset(&set, signal);
  sigprocmask(SIG_BLOCK, &set, saved);
}

// The length of path's directory part, its last slash included.
std::size_t directoryLength(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

}  // namespace

const char* processCommandLine() { return nullptr; }

void exitProcess(std::uint32_t code) {
  // Only the low 8 bits of the code reach the parent on POSIX systems.
  // exit, not _Exit: a sanitizer build checks for leaks on the way out.
  std::exit(static_cast<int>(code));
}

void startProcess() {
  // Over the file-size limit a write then fails with EFBIG, which the tool
  // reports, instead of the signal ending the process halfway.
  std::signal(SIGXFSZ, SIG_IGN);
}

bool acquireStdHandles(Handle* input, Handle* output, Handle* error) {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) return false;
  }
  if (input != nullptr) *input = fromDescriptor(0);
  if (output != nullptr) *output = fromDescriptor(1);
  if (error != nullptr) *error = fromDescriptor(2);
  return true;
}

void closeHandle(Handle handle) {
  if (handle != kNoHandle) close(toDescriptor(handle));
}

bool isTerminal(Handle handle) { return isatty(toDescriptor(handle)) == 1; }

std::size_t systemErrorText(std::uint32_t code, char* buffer,
                            std::size_t room) {
  const char* text = std::strerror(static_cast<int>(code));
  if (text == nullptr || room == 0) return 0;
  const std::size_t length = std::strlen(text);
  if (length + 1 > room) return 0;  // does not fit: no text, as on Windows
  std::memcpy(buffer, text, length + 1);
  return length;
}

std::uint32_t lastError() { return static_cast<std::uint32_t>(errno); }

void setLastError(std::uint32_t code) { errno = static_cast<int>(code); }

bool versionSupported() { return true; }

// Small heap blocks come from the C heap. A block of 128 KiB or more (a
// decoder, a large file's buffer) is mapped anonymously instead: the system
// hands it out zeroed, where a C heap block used before would be cleared
// byte by byte, and takes its pages back when it is freed, so a run over
// many files clears and keeps no more than a run over one. A block of 2 MiB
// or more is also aligned to 2 MiB and advised to use huge pages: reading a
// large file into it costs a few dozen page faults instead of one per 4 KiB.
// A header in front of every block tells freeBlock which kind it is.
namespace {

struct BlockHeader {
  void* mapping;        // start of the mapping; null for a C-heap block
  std::size_t length;   // length of the mapping
};

constexpr std::size_t kMappedBlock = std::size_t{128} << 10;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHeaderRoom = 16;  // keeps C-heap blocks 16-aligned
static_assert(sizeof(BlockHeader) <= kHeaderRoom, "header fits its room");

void* storeHeader(std::uintptr_t block, void* mapping, std::size_t length) {
  const BlockHeader header = {mapping, length};
  std::memcpy(reinterpret_cast<void*>(block - sizeof header), &header,
              sizeof header);
  return reinterpret_cast<void*>(block);
}

}  // namespace

void* allocZeroed(std::size_t size) {
  if (size > SIZE_MAX - kHugePage - kHeaderRoom) {
    errno = ENOMEM;
    return nullptr;
  }
  if (size < kMappedBlock) {
    void* base = std::calloc(1, size + kHeaderRoom);
    if (base == nullptr) return nullptr;
    return storeHeader(reinterpret_cast<std::uintptr_t>(base) + kHeaderRoom,
                       nullptr, 0);
  }
  const bool huge = size >= kHugePage;
  const std::size_t length = size + kHeaderRoom + (huge ? kHugePage : 0);
  void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  const std::uintptr_t first =
      reinterpret_cast<std::uintptr_t>(mapping) + kHeaderRoom;
  if (!huge) return storeHeader(first, mapping, length);
  const std::uintptr_t block = (first + kHugePage - 1) & ~(kHugePage - 1);
  // Only advice: without huge pages the block works the same, slower.
  madvise(reinterpret_cast<void*>(block), size, MADV_HUGEPAGE);
  return storeHeader(block, mapping, length);
}

void freeBlock(void* block) {
  if (block == nullptr) return;
  BlockHeader header;
  std::memcpy(&header, static_cast<unsigned char*>(block) - sizeof header,
              sizeof header);
  if (header.mapping != nullptr) {
    munmap(header.mapping, header.length);
  } else {
    std::free(static_cast<unsigned char*>(block) - kHeaderRoom);
  }
}

Handle openFile(const char* path, bool forWriting) {
  // O_NONBLOCK keeps a FIFO from blocking the open; only regular files are
  // accepted below, for which the flag changes nothing.
  const int fd = open(path, (forWriting ? O_RDWR : O_RDONLY) | O_NOCTTY |
                                O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) return kNoHandle;

  struct stat status;
  int failure = 0;
  if (fstat(fd, &status) == -1) {
    failure = errno;
  } else if (S_ISDIR(status.st_mode)) {
    failure = EISDIR;
  } else if (!S_ISREG(status.st_mode)) {
    failure = EINVAL;
  } else {
    // Readers share the file; a change needs it alone.
    struct flock lock = {};
    lock.l_type = forWriting ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) == -1) failure = errno;
  }
  if (failure != 0) {
    close(fd);
    errno = failure;
    return kNoHandle;
  }
  return fromDescriptor(fd);
}

SizeResult fileSize(Handle file, std::uint32_t* size) {
  // As on Windows, a size read without error leaves the error cleared.
  errno = 0;
  struct stat status;
  if (fstat(toDescriptor(file), &status) == -1) return SizeResult::Failed;
  if (status.st_size < 0) {
    errno = EINVAL;
    return SizeResult::Failed;
  }
  if (static_cast<unsigned long long>(status.st_size) > 0xFFFFFFFFull)
    return SizeResult::TooLarge;
  *size = static_cast<std::uint32_t>(status.st_size);
  return SizeResult::Ok;
}

bool readAt(Handle file, std::uint32_t offset, void* buffer,
            std::uint32_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t done = 0;
  // A read may return fewer bytes than asked; go on until all are in.
  while (done < size) {
    const ssize_t got = pread(toDescriptor(file), bytes + done, size - done,
                              static_cast<off_t>(offset) + done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) {
      errno = ENODATA;  // the file ended before its size
      return false;
    }
    done += static_cast<std::uint32_t>(got);
  }
  return true;
}

bool seekToStart(Handle file) {
  return lseek(toDescriptor(file), 0, SEEK_SET) == 0;
}

bool writeLimitAllows(std::uint64_t end) {
  struct rlimit limit;
  // Without a limit to read, the write itself will tell.
  if (getrlimit(RLIMIT_FSIZE, &limit) == -1) return true;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= end) return true;
  errno = EFBIG;
  return false;
}

bool writeBytes(Handle handle, const void* bytes, std::uint32_t size,
                std::uint32_t* written) {
  const auto* data = static_cast<const unsigned char*>(bytes);
  *written = 0;
  // Continue short writes, so that a failure gives its real reason.
  while (*written < size) {
    const ssize_t put = write(toDescriptor(handle), data + *written,
                              size - *written);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) {
      errno = EIO;
      return false;
    }
    *written += static_cast<std::uint32_t>(put);
  }
  return true;
}

namespace {

std::uint64_t nanoseconds(const struct timespec& time) {
  return static_cast<std::uint64_t>(time.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(time.tv_nsec);
}

}  // namespace

bool fileIdentity(Handle file, FileIdentity* identity) {
  struct stat status;
  if (fstat(toDescriptor(file), &status) == -1) return false;
  identity->volume = static_cast<std::uint64_t>(status.st_dev);
  identity->index = static_cast<std::uint64_t>(status.st_ino);
  identity->written = nanoseconds(status.st_mtim);
  identity->changed = nanoseconds(status.st_ctim);
  return true;
}

bool pathHasIdentity(const char* path, const FileIdentity& identity) {
  // lstat: a link that has taken the name is not the file.
  struct stat status;
  return lstat(path, &status) == 0 && S_ISREG(status.st_mode) &&
         static_cast<std::uint64_t>(status.st_dev) == identity.volume &&
         static_cast<std::uint64_t>(status.st_ino) == identity.index;
}

bool resolveLinks(const char* path, Handle, char* target) {
  const std::size_t length = std::strlen(path);
  if (length >= kTempPathSize) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(target, path, length + 1);
  // As many links as the system itself follows (its ELOOP limit).
  for (int links = 0;; ++links) {
    struct stat status;
    if (lstat(target, &status) == -1) return false;
    if (!S_ISLNK(status.st_mode)) return true;
    if (links == 40) {
      errno = ELOOP;
      return false;
    }
    char link[kTempPathSize];
    const ssize_t got = readlink(target, link, sizeof link);
    if (got == -1) return false;
    if (got == 0 || static_cast<std::size_t>(got) == sizeof link) {
      errno = got == 0 ? ENOENT : ENAMETOOLONG;
      return false;
    }
    // A relative link counts from the directory that holds it.
    const std::size_t kept = link[0] == '/' ? 0 : directoryLength(target);
    const std::size_t linkLength = static_cast<std::size_t>(got);
    if (kept + linkLength >= kTempPathSize) {
      errno = ENAMETOOLONG;
      return false;
    }
    std::memcpy(target + kept, link, linkLength);
    target[kept + linkLength] = '\0';
  }
}

Handle createTempBeside(const char* path, Handle original, char* tempPath) {
  struct stat status;
  if (fstat(toDescriptor(original), &status) == -1) return kNoHandle;
  catchEndingSignals();
  const int directory = static_cast<int>(directoryLength(path));
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const int length =
        std::snprintf(tempPath, kTempPathSize, "%.*s.setuphdr-%ld-%u.tmp",
                      directory, path, static_cast<long>(getpid()), attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= kTempPathSize) {
      errno = ENAMETOOLONG;
      return kNoHandle;
    }
    // Created and registered for removal with no signal in between.
    sigset_t saved;
    blockEndingSignals(true, &saved);
    const int fd = open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC |
                                      O_NOCTTY, 0600);
    if (fd != -1) {
      std::memcpy(gTempPath, tempPath, static_cast<std::size_t>(length) + 1);
      gTempHeld = 1;
    }
    const int error = errno;
    blockEndingSignals(false, &saved);
    if (fd == -1) {
      if (error == EEXIST) continue;
      errno = error;
      return kNoHandle;
    }
    // The owner first, since a change of owner clears the set-id bits;
    // only root may give a file away, so for others it stays theirs.
    if (fchown(fd, status.st_uid, status.st_gid) == -1) {
      // Keep the creator's owner and group.
    }
    if (fchmod(fd, status.st_mode & 07777) == -1) {
      const int failure = errno;
      close(fd);
      removeFile(tempPath);
      errno = failure;
      return kNoHandle;
    }
    return fromDescriptor(fd);
  }
  errno = EEXIST;
  return kNoHandle;
}

bool flushFile(Handle file) {
  while (fsync(toDescriptor(file)) == -1) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool replaceFile(const char* tempPath, const char* path, Handle* original) {
  if (std::rename(tempPath, path) == -1) return false;
  gTempHeld = 0;
  // The new name lasts through a crash only once its directory is on disk.
  char directory[kTempPathSize] = ".";
  const std::size_t length = directoryLength(path);
  if (length != 0 && length < sizeof directory) {
    std::memcpy(directory, path, length);
    directory[length] = '\0';
  }
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd != -1) {
    fsync(fd);
    close(fd);
  }
  closeHandle(*original);
  *original = kNoHandle;
  return true;
}

void removeFile(const char* path) {
  const int saved = errno;
  unlink(path);
  if (gTempHeld && std::strcmp(path, gTempPath) == 0) gTempHeld = 0;
  errno = saved;
}

PathKind pathKind(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return PathKind::Other;
  if (S_ISDIR(info.st_mode)) return PathKind::Directory;
  return S_ISREG(info.st_mode) ? PathKind::File : PathKind::Other;
}

char pathSeparator() { return '/'; }

// The shell expands wildcards before the tool starts.
bool expandsWildcards() { return false; }

Handle openDirectory(const char* directory, const char* pattern) {
  if (pattern != nullptr) {
    errno = ENOTSUP;
    return kNoHandle;
  }
  DIR* stream = opendir(directory[0] == '\0' ? "." : directory);
  return stream == nullptr ? kNoHandle : reinterpret_cast<Handle>(stream);
}

bool readDirectory(Handle directory, char* name, std::size_t room,
                   PathKind* kind) {
  DIR* stream = reinterpret_cast<DIR*>(directory);
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(stream);
    if (entry == nullptr) return false;  // errno tells the end from an error
    const char* entryName = entry->d_name;
    if (std::strcmp(entryName, ".") == 0 || std::strcmp(entryName, "..") == 0)
      continue;
    const std::size_t length = std::strlen(entryName);
    if (length + 1 > room) continue;
    // A link counts as what it names, but a directory only as itself, so
    // the walk never follows a link into a directory (nor round a loop).
    struct stat info;
    PathKind found = PathKind::Other;
    if (fstatat(dirfd(stream), entryName, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(info.st_mode)) {
        found = PathKind::Directory;
      } else if (S_ISREG(info.st_mode)) {
        found = PathKind::File;
      } else if (S_ISLNK(info.st_mode) &&
                 fstatat(dirfd(stream), entryName, &info, 0) == 0 &&
                 S_ISREG(info.st_mode)) {
        found = PathKind::File;
      }
    }
    std::memcpy(name, entryName, length + 1);
    *kind = found;
    return true;
  }
}

void closeDirectory(Handle directory) {
  if (directory != kNoHandle) closedir(reinterpret_cast<DIR*>(directory));
}

}  // namespace platform

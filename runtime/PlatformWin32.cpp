// PlatformWin32.cpp - the platform layer on Windows: only Win32-specific
// code. The tool's home platform, using the system's own libraries
// (KERNEL32, SHLWAPI, USER32) and nothing else.
#include <windows.h>
#include <shlwapi.h>  // wvnsprintfA

#include "runtime/Platform.h"

namespace platform {

namespace {

HANDLE toHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle fromHandle(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

bool usable(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Room for the text of FormatMessageA with FORMAT_MESSAGE_FROM_SYSTEM,
// FORMAT_MESSAGE_IGNORE_INSERTS and FORMAT_MESSAGE_MAX_WIDTH_MASK: one line.
constexpr DWORD kMessageFlags = 0x12FF;
constexpr DWORD kUserDefaultLanguage = 0x0400;

// The one temporary file a run may hold, removed when Ctrl-C, Ctrl-Break
// or the closing console ends the process before it is put in place.
char gTempPath[kTempPathSize];
volatile LONG gTempHeld = 0;

BOOL WINAPI removeTempOnEnd(DWORD) {
  // The file is open for writing; shared for deletion, it goes when the
  // process ends and closes it. Just before its move it may be read-only.
  if (gTempHeld) {
    SetFileAttributesA(gTempPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(gTempPath);
  }
  return FALSE;  // the default handler ends the process
}

// The length of path's directory part, its last separator included.
std::size_t directoryLength(const char* path) {
  std::size_t length = 0;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') length = i + 1;
  }
  return length;
}

// The attributes a replacement keeps of the file it replaces: all that
// SetFileAttributesA can set.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
    FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Sets a file's attributes; none at all is written FILE_ATTRIBUTE_NORMAL.
bool setAttributes(const char* path, DWORD attributes) {
  return SetFileAttributesA(path, attributes != 0 ? attributes
                                                  : FILE_ATTRIBUTE_NORMAL) !=
         FALSE;
}

// GetFinalPathNameByHandleA, found at run time: older systems lack it.
using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
constexpr DWORD kFinalPathDos = 0;  // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS

FinalPathFunction finalPathFunction() {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  // Through void (*)(void), the one cast between function types that
  // compilers take as deliberate.
  return reinterpret_cast<FinalPathFunction>(reinterpret_cast<void (*)(void)>(
      GetProcAddress(kernel, "GetFinalPathNameByHandleA")));
}

}  // namespace

const char* processCommandLine() { return GetCommandLineA(); }

void exitProcess(std::uint32_t code) { ExitProcess(code); }

void startProcess() {}

bool acquireStdHandles(Handle* input, Handle* output, Handle* error) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  HANDLE handles[3];
  if ((startup.dwFlags & STARTF_USESTDHANDLES) != 0) {
    handles[0] = startup.hStdInput;
    handles[1] = startup.hStdOutput;
    handles[2] = startup.hStdError;
  } else {
    handles[0] = GetStdHandle(STD_INPUT_HANDLE);
    handles[1] = GetStdHandle(STD_OUTPUT_HANDLE);
    handles[2] = GetStdHandle(STD_ERROR_HANDLE);
  }
  for (HANDLE handle : handles) {
    if (!usable(handle)) return false;
  }
  if (input != nullptr) *input = fromHandle(handles[0]);
  if (output != nullptr) *output = fromHandle(handles[1]);
  if (error != nullptr) *error = fromHandle(handles[2]);
  return true;
}

void closeHandle(Handle handle) {
  if (handle != kNoHandle) CloseHandle(toHandle(handle));
}

bool isTerminal(Handle handle) {
  DWORD mode = 0;
  return GetConsoleMode(toHandle(handle), &mode) != FALSE;
}

std::size_t formatTextV(char* buffer, std::size_t capacity, const char* format,
                        va_list args) {
  buffer[0] = '\0';
  wvnsprintfA(buffer, static_cast<int>(capacity), format, args);
  buffer[capacity - 1] = '\0';
  return static_cast<std::size_t>(lstrlenA(buffer));
}

std::size_t formatErrorPrefix(char* buffer, const char* customer,
                              std::uint32_t facility, std::uint32_t number) {
  const int length = wsprintfA(buffer, "%s%u/%u - ", customer,
                               static_cast<unsigned>(facility),
                               static_cast<unsigned>(number));
  return length < 0 ? 0 : static_cast<std::size_t>(length);
}

std::size_t systemErrorText(std::uint32_t code, char* buffer,
                            std::size_t room) {
  return FormatMessageA(kMessageFlags, nullptr, code, kUserDefaultLanguage,
                        buffer, static_cast<DWORD>(room), nullptr);
}

std::uint32_t lastError() { return GetLastError(); }

void setLastError(std::uint32_t code) { SetLastError(code); }

bool versionSupported() {
  OSVERSIONINFOEXA info = {};
  info.dwOSVersionInfoSize = sizeof info;  // the extended record, 156 bytes
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return false;
  const unsigned version = ((info.dwMajorVersion & 0xFFu) << 8) |
                           (info.dwMinorVersion & 0xFFu);
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT && version >= 0x0400;
}

void* allocZeroed(std::size_t size) { return LocalAlloc(LMEM_ZEROINIT, size); }

void freeBlock(void* block) {
  if (block != nullptr) LocalFree(block);
}

bool equalTexts(const char* a, std::size_t lengthA, const char* b,
                std::size_t lengthB, bool ignoreCase) {
  return CompareStringA(LOCALE_USER_DEFAULT, ignoreCase ? NORM_IGNORECASE : 0,
                        a, static_cast<int>(lengthA), b,
                        static_cast<int>(lengthB)) == CSTR_EQUAL;
}

Handle openFile(const char* path, bool forWriting) {
  const DWORD access = forWriting ? (GENERIC_READ | GENERIC_WRITE)
                                  : GENERIC_READ;
  HANDLE file = CreateFileA(path, access, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kNoHandle;
  return fromHandle(file);
}

SizeResult fileSize(Handle file, std::uint32_t* size) {
  DWORD high = 0;
  // A size whose low part is 0xFFFFFFFF is real when the error stays clear.
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(toHandle(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
    return SizeResult::Failed;
  if (high != 0) return SizeResult::TooLarge;
  *size = low;
  return SizeResult::Ok;
}

bool readAt(Handle file, std::uint32_t offset, void* buffer,
            std::uint32_t size) {
  // The high part makes the low one unsigned: offsets up to 4 GiB.
  LONG high = 0;
  SetLastError(NO_ERROR);
  if (SetFilePointer(toHandle(file), static_cast<LONG>(offset), &high,
                     FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR)
    return false;
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t done = 0;
  while (done < size) {
    DWORD got = 0;
    if (!ReadFile(toHandle(file), bytes + done, size - done, &got, nullptr))
      return false;
    if (got == 0) {
      SetLastError(ERROR_HANDLE_EOF);  // the file ended before its size
      return false;
    }
    done += got;
  }
  return true;
}

bool seekToStart(Handle file) {
  return SetFilePointer(toHandle(file), 0, nullptr, FILE_BEGIN) !=
         INVALID_SET_FILE_POINTER;
}

bool writeLimitAllows(std::uint64_t) { return true; }

bool writeBytes(Handle handle, const void* bytes, std::uint32_t size,
                std::uint32_t* written) {
  DWORD put = 0;
  const BOOL ok = WriteFile(toHandle(handle), bytes, size, &put, nullptr);
  *written = put;
  return ok != FALSE;
}

bool fileIdentity(Handle file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(toHandle(file), &info)) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
                    info.nFileIndexLow;
  identity->written =
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime;
  identity->changed = 0;
  return true;
}

bool pathHasIdentity(const char* path, const FileIdentity& identity) {
  // The name itself, not where a reparse point there leads; opened for its
  // attributes only, which no share mode refuses.
  HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE |
                                FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);
  if (!known) return false;
  const std::uint64_t index =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
      info.nFileIndexLow;
  return (info.dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         info.dwVolumeSerialNumber == identity.volume &&
         index == identity.index;
}

bool resolveLinks(const char* path, Handle file, char* target) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  // The system's own name for the open file, wherever links led.
  const FinalPathFunction finalPath = finalPathFunction();
  const DWORD length =
      finalPath == nullptr
          ? 0
          : finalPath(toHandle(file), target, kTempPathSize, kFinalPathDos);
  if (length != 0 && length < kTempPathSize) {
    // A reparse point that leads nowhere else (a placeholder, a
    // deduplicated file) would be lost under a plain file.
    const DWORD final = GetFileAttributesA(target);
    if (final == INVALID_FILE_ATTRIBUTES) return false;
    if ((final & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      SetLastError(ERROR_CANT_RESOLVE_FILENAME);
      return false;
    }
    return true;
  }
  // Without that name, a reparse point is not replaced.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (length >= kTempPathSize) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    if (finalPath == nullptr) SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  const int pathLength = lstrlenA(path);
  if (static_cast<std::size_t>(pathLength) >= kTempPathSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  CopyMemory(target, path, static_cast<std::size_t>(pathLength) + 1);
  return true;
}

Handle createTempBeside(const char* path, Handle, char* tempPath) {
  // The original's attributes follow in replaceFile, once it is written.
  static bool handlerSet = false;
  if (!handlerSet)
    handlerSet = SetConsoleCtrlHandler(removeTempOnEnd, TRUE) != FALSE;
  const std::size_t directory = directoryLength(path);
  if (directory + 32 > kTempPathSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return kNoHandle;
  }
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    CopyMemory(tempPath, path, directory);
    wnsprintfA(tempPath + directory, static_cast<int>(kTempPathSize -
                                                      directory),
               "~setuphdr-%lx-%u.tmp",
               static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    HANDLE file = CreateFileA(tempPath, GENERIC_WRITE, FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return kNoHandle;
    }
    CopyMemory(gTempPath, tempPath, kTempPathSize);
    gTempHeld = 1;
    return fromHandle(file);
  }
  SetLastError(ERROR_FILE_EXISTS);
  return kNoHandle;
}

bool flushFile(Handle file) { return FlushFileBuffers(toHandle(file)) != 0; }

bool replaceFile(const char* tempPath, const char* path, Handle* original) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(toHandle(*original), &info)) return false;
  const DWORD kept = info.dwFileAttributes & kKeptAttributes;
  // An open file cannot be replaced; a copy would not be one step.
  closeHandle(*original);
  *original = kNoHandle;
  // The new file, now written, takes the old one's attributes. Windows
  // does not replace a read-only file: its flag is lifted for the move and
  // put back when the move fails.
  const bool readOnly = (kept & FILE_ATTRIBUTE_READONLY) != 0;
  if (!setAttributes(tempPath, kept)) return false;
  bool moved = !readOnly ||
               setAttributes(path, kept & ~DWORD{FILE_ATTRIBUTE_READONLY});
  if (moved) {
    moved = MoveFileExA(tempPath, path,
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
            FALSE;
  }
  if (!moved) {
    const DWORD error = GetLastError();
    if (readOnly) setAttributes(path, kept);
    setAttributes(tempPath, 0);  // so that it can be removed
    SetLastError(error);
    return false;
  }
  gTempHeld = 0;
  return true;
}

void removeFile(const char* path) {
  const DWORD saved = GetLastError();
  DeleteFileA(path);
  if (gTempHeld && lstrcmpA(path, gTempPath) == 0) gTempHeld = 0;
  SetLastError(saved);
}

PathKind pathKind(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Other;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::Directory;
  return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? PathKind::Other
                                                   : PathKind::File;
}

char pathSeparator() { return '\\'; }

// cmd.exe hands "*" and "?" to the program as they are.
bool expandsWildcards() { return true; }

namespace {

// A directory being read: FindFirstFileA has already found the first entry.
struct DirectoryReader {
  HANDLE find;
  bool pending;  // data holds an entry not yet handed out
  WIN32_FIND_DATAA data;
};

}  // namespace

Handle openDirectory(const char* directory, const char* pattern) {
  char search[MAX_PATH + 4];
  const int length = lstrlenA(directory);
  if (pattern == nullptr) pattern = "*";
  const bool separator = length > 0 && directory[length - 1] != '\\' &&
                         directory[length - 1] != '/' &&
                         directory[length - 1] != ':';
  if (length + 1 + lstrlenA(pattern) + 1 > static_cast<int>(sizeof search)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return kNoHandle;
  }
  wnsprintfA(search, static_cast<int>(sizeof search), "%s%s%s", directory,
             separator ? "\\" : "", pattern);
  auto* reader = static_cast<DirectoryReader*>(
      LocalAlloc(LMEM_ZEROINIT, sizeof(DirectoryReader)));
  if (reader == nullptr) return kNoHandle;
  reader->find = FindFirstFileA(search, &reader->data);
  reader->pending = reader->find != INVALID_HANDLE_VALUE;
  // A pattern that matches nothing is a directory read with no entries.
  if (!reader->pending && GetLastError() != ERROR_FILE_NOT_FOUND) {
    const DWORD error = GetLastError();
    LocalFree(reader);
    SetLastError(error);
    return kNoHandle;
  }
  return reinterpret_cast<Handle>(reader);
}

bool readDirectory(Handle directory, char* name, std::size_t room,
                   PathKind* kind) {
  auto* reader = reinterpret_cast<DirectoryReader*>(directory);
  for (;;) {
    if (reader->find == INVALID_HANDLE_VALUE) {
      SetLastError(0);
      return false;
    }
    if (!reader->pending && !FindNextFileA(reader->find, &reader->data)) {
      const DWORD error = GetLastError();
      SetLastError(error == ERROR_NO_MORE_FILES ? 0 : error);
      return false;
    }
    reader->pending = false;
    const char* found = reader->data.cFileName;
    if (lstrcmpA(found, ".") == 0 || lstrcmpA(found, "..") == 0) continue;
    const std::size_t length = static_cast<std::size_t>(lstrlenA(found));
    if (length + 1 > room) continue;
    // A reparse point (a link or junction) to a directory is not walked
    // into; one to a file counts as the file.
    const DWORD attributes = reader->data.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      *kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                  ? PathKind::Other
                  : PathKind::Directory;
    } else {
      *kind = (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? PathKind::Other
                                                        : PathKind::File;
    }
    CopyMemory(name, found, length + 1);
    return true;
  }
}

void closeDirectory(Handle directory) {
  if (directory == kNoHandle) return;
  auto* reader = reinterpret_cast<DirectoryReader*>(directory);
  if (reader->find != INVALID_HANDLE_VALUE) FindClose(reader->find);
  LocalFree(reader);
}

}  // namespace platform

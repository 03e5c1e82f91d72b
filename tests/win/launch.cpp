// launch.cpp - test launcher for the Windows build: starts the tool with a
// raw command line and chosen standard handles, and records whether it
// started and its full exit code.
//
//   setuphdr-launch MODE TOOL CMDFILE EXITFILE
//
// TOOL is the program started (lpApplicationName). CMDFILE holds the raw
// command line handed to it, byte for byte, so a test can give any text,
// including quoting no argv array can express. Wine passes only the low 8
// bits of an exit code on to Linux, so the full code (1000, say) is
// recorded in EXITFILE, which tells the harness what happened:
//   - absent: the tool was not started (its start failed, or Wine never
//     ran the launcher); the harness may start it again;
//   - empty: the tool was started (or may have been) and its exit code is
//     not known; a run that started is never started again;
//   - decimal digits: the tool's exit code.
// EXITFILE is therefore created before the tool is started and removed
// again when the start fails.
//
// MODE chooses the standard handles given to the tool (always through
// STARTF_USESTDHANDLES): "std" passes the launcher's own three handles;
// "noerr" a null error handle; "noout" a null output handle; "badin" an
// invalid (INVALID_HANDLE_VALUE) input handle; "rdout" an output handle
// every write to which fails: CMDFILE opened for reading only.
//
// A fault for the harness's own tests: when the environment variable
// SETUPHDR_LAUNCH_FAULT names a file that exists, the launcher reads and
// deletes it, and as it says "start" fails the start as CreateProcessA
// does (error 1359, the tool not started), or as it says "exit" starts the
// tool and then fails to record its exit code.
//
// The launcher's own arguments are plain words without blanks, so the
// runtime's argv splitting cannot change them. It exits with 0 when the
// exit code was recorded and with 3 after a line on its error stream.
#include <windows.h>

#include <cstring>

namespace {

// Writes "setuphdr-launch: <text>" and the system code on the error stream.
void fail(const char* text) {
  char line[512];
  const DWORD code = GetLastError();
  const int length = wsprintfA(line, "setuphdr-launch: %s (error %lu)\r\n",
                               text, static_cast<unsigned long>(code));
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line,
            static_cast<DWORD>(length), &written, nullptr);
}

// Reads the whole of path into a NUL-terminated heap block (LocalAlloc).
// Returns null after a message.
char* readWholeFile(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fail("cannot open the command-line file");
    return nullptr;
  }
  char* text = nullptr;
  const DWORD size = GetFileSize(file, nullptr);
  // CreateProcessA takes at most 32767 characters.
  if (size == INVALID_FILE_SIZE || size > 32767) {
    fail("bad size of the command-line file");
  } else {
    text = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, size + 1));
    DWORD got = 0;
    if (text == nullptr) {
      fail("out of memory");
    } else if (!ReadFile(file, text, size, &got, nullptr) || got != size) {
      fail("cannot read the command-line file");
      LocalFree(text);
      text = nullptr;
    }
  }
  CloseHandle(file);
  return text;
}

// An inheritable handle of path opened for reading only, or
// INVALID_HANDLE_VALUE after a message.
HANDLE readOnlyHandle(const char* path) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) fail("cannot open the read-only output");
  return file;
}

// An inheritable copy of one of the launcher's standard handles.
HANDLE inheritable(DWORD which) {
  HANDLE own = GetStdHandle(which);
  HANDLE copy = nullptr;
  if (own == nullptr || own == INVALID_HANDLE_VALUE) return own;
  if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy,
                       0, TRUE, DUPLICATE_SAME_ACCESS)) {
    fail("cannot duplicate a standard handle");
    return INVALID_HANDLE_VALUE;
  }
  return copy;
}

// Creates (or empties) the file at path and writes text into it. Returns
// false after a message naming what.
bool writeWholeFile(const char* path, const char* text, const char* what) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fail(what);
    return false;
  }
  const DWORD length = static_cast<DWORD>(std::strlen(text));
  DWORD written = 0;
  const bool ok = length == 0 ||
                  (WriteFile(file, text, length, &written, nullptr) &&
                   written == length);
  CloseHandle(file);
  if (!ok) fail(what);
  return ok;
}

// The injected fault: "start", "exit" or "" (none). Reads and deletes the
// file that SETUPHDR_LAUNCH_FAULT names, so a fault strikes once.
const char* takeFault() {
  char path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("SETUPHDR_LAUNCH_FAULT", path,
                                               sizeof path);
  if (length == 0 || length >= sizeof path) return "";
  HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  char text[8] = {};
  DWORD got = 0;
  const BOOL read = ReadFile(file, text, sizeof text - 1, &got, nullptr);
  CloseHandle(file);
  DeleteFileA(path);
  if (!read) return "";
  if (std::strncmp(text, "start", 5) == 0) return "start";
  if (std::strncmp(text, "exit", 4) == 0) return "exit";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fail("usage: setuphdr-launch std|noerr|noout|badin|rdout TOOL CMDFILE "
         "EXITFILE");
    return 3;
  }
  const char* mode = argv[1];
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable(STD_INPUT_HANDLE);
  startup.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
  startup.hStdError = inheritable(STD_ERROR_HANDLE);
  if (std::strcmp(mode, "noerr") == 0) {
    startup.hStdError = nullptr;
  } else if (std::strcmp(mode, "noout") == 0) {
    startup.hStdOutput = nullptr;
  } else if (std::strcmp(mode, "badin") == 0) {
    startup.hStdInput = INVALID_HANDLE_VALUE;
  } else if (std::strcmp(mode, "rdout") == 0) {
    startup.hStdOutput = readOnlyHandle(argv[3]);
    if (startup.hStdOutput == INVALID_HANDLE_VALUE) return 3;
  } else if (std::strcmp(mode, "std") != 0) {
    fail("unknown mode");
    return 3;
  }

  char* commandLine = readWholeFile(argv[3]);
  if (commandLine == nullptr) return 3;
  const char* fault = takeFault();

  // From here on the tool may run: an empty EXITFILE says so.
  if (!writeWholeFile(argv[4], "", "cannot create the exit-code file")) {
    LocalFree(commandLine);
    return 3;
  }
  PROCESS_INFORMATION process = {};
  BOOL started = FALSE;
  if (std::strcmp(fault, "start") == 0) {
    SetLastError(ERROR_INTERNAL_ERROR);
  } else {
    started = CreateProcessA(argv[2], commandLine, nullptr, nullptr, TRUE, 0,
                             nullptr, nullptr, &startup, &process);
  }
  if (!started) {
    fail("cannot start the tool");
    LocalFree(commandLine);
    // The tool did not start: no EXITFILE lets the harness start it again.
    // Should it stay, the harness takes the tool for started.
    if (!DeleteFileA(argv[4])) fail("cannot remove the exit-code file");
    return 3;
  }
  LocalFree(commandLine);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  bool gotCode = false;
  if (std::strcmp(fault, "exit") == 0) {
    SetLastError(ERROR_INTERNAL_ERROR);
  } else {
    gotCode = GetExitCodeProcess(process.hProcess, &code) != FALSE;
  }
  if (!gotCode) fail("cannot get the exit code");
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!gotCode) return 3;
  char digits[16];
  wsprintfA(digits, "%lu", static_cast<unsigned long>(code));
  return writeWholeFile(argv[4], digits, "cannot write the exit-code file")
             ? 0
             : 3;
}

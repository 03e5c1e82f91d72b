// launch.cpp - test launcher for the Windows build: starts the tool with a
// raw command line and chosen standard handles, and records its full exit
// code.
//
//   setuphdr-launch MODE TOOL CMDFILE EXITFILE
//
// TOOL is the program started (lpApplicationName). CMDFILE holds the raw
// command line handed to it, byte for byte, so a test can give any text,
// including quoting no argv array can express. After the tool has ended,
// its exit code is written to EXITFILE in decimal: Wine passes only the low
// 8 bits of an exit code on to Linux, so 1000 is seen only this way.
//
// MODE chooses the standard handles given to the tool (always through
// STARTF_USESTDHANDLES): "std" passes the launcher's own three handles;
// "noerr" a null error handle; "noout" a null output handle; "badin" an
// invalid (INVALID_HANDLE_VALUE) input handle; "rdout" an output handle
// every write to which fails: CMDFILE opened for reading only.
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

bool writeExitCode(const char* path, DWORD code) {
  char digits[16];
  const int length = wsprintfA(digits, "%lu", static_cast<unsigned long>(code));
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fail("cannot create the exit-code file");
    return false;
  }
  DWORD written = 0;
  const bool ok = WriteFile(file, digits, static_cast<DWORD>(length),
                            &written, nullptr) &&
                  written == static_cast<DWORD>(length);
  CloseHandle(file);
  if (!ok) fail("cannot write the exit-code file");
  return ok;
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

  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(argv[2], commandLine, nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    fail("cannot start the tool");
    LocalFree(commandLine);
    return 3;
  }
  LocalFree(commandLine);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  const bool gotCode = GetExitCodeProcess(process.hProcess, &code) != FALSE;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!gotCode) {
    fail("cannot get the exit code");
    return 3;
  }
  return writeExitCode(argv[4], code) ? 0 : 3;
}

// MspackReader.cpp - libmspack's cab decompressor over a cabinet held in a
// string: the cabinet is the only file it may open for reading, and every
// file it opens for writing is the one output string.
#include "fuzz/MspackReader.h"

#include <cstdlib>
#include <cstring>

#include <mspack.h>

namespace mspackreader {

namespace {

// The cabinet of the read under way, and the output of the member being
// extracted. One read at a time: the fuzz target is single-threaded.
struct Context {
  const std::string* cabinet;
  std::string output;
};
Context* gContext = nullptr;

// A file libmspack opened: reading the cabinet or writing the output.
struct MemoryFile {
  bool writing;
  std::size_t position;
};

const char kCabinetName[] = "cabinet";

mspack_file* openFile(mspack_system*, const char* name, int mode) {
  if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(name, kCabinetName) == 0)
    return reinterpret_cast<mspack_file*>(new MemoryFile{false, 0});
  if (mode == MSPACK_SYS_OPEN_WRITE) {
    gContext->output.clear();
    return reinterpret_cast<mspack_file*>(new MemoryFile{true, 0});
  }
  return nullptr;
}

void closeFile(mspack_file* file) {
  delete reinterpret_cast<MemoryFile*>(file);
}

int readFile(mspack_file* handle, void* buffer, int bytes) {
  auto* file = reinterpret_cast<MemoryFile*>(handle);
  const std::string& cabinet = *gContext->cabinet;
  if (file->writing || bytes < 0) return -1;
  std::size_t count = cabinet.size() - file->position;
  if (count > static_cast<std::size_t>(bytes))
    count = static_cast<std::size_t>(bytes);
  std::memcpy(buffer, cabinet.data() + file->position, count);
  file->position += count;
  return static_cast<int>(count);
}

int writeFile(mspack_file* handle, void* buffer, int bytes) {
  auto* file = reinterpret_cast<MemoryFile*>(handle);
  if (!file->writing || bytes < 0) return -1;
  gContext->output.append(static_cast<const char*>(buffer),
                          static_cast<std::size_t>(bytes));
  return bytes;
}

int seekFile(mspack_file* handle, off_t offset, int mode) {
  auto* file = reinterpret_cast<MemoryFile*>(handle);
  const off_t size = static_cast<off_t>(
      file->writing ? gContext->output.size() : gContext->cabinet->size());
  off_t base = 0;
  if (mode == MSPACK_SYS_SEEK_CUR) base = static_cast<off_t>(file->position);
  if (mode == MSPACK_SYS_SEEK_END) base = size;
  if (offset < -base || base + offset > size) return -1;
  file->position = static_cast<std::size_t>(base + offset);
  return 0;
}

off_t tellFile(mspack_file* handle) {
  return static_cast<off_t>(reinterpret_cast<MemoryFile*>(handle)->position);
}

void message(mspack_file*, const char*, ...) {}

void* allocate(mspack_system*, std::size_t bytes) { return std::malloc(bytes); }

void release(void* block) { std::free(block); }

void copy(void* from, void* to, std::size_t bytes) {
  std::memmove(to, from, bytes);
}

}  // namespace

bool readMembers(const std::string& cabinet, std::vector<Member>* members) {
  members->clear();
  Context context = {&cabinet, {}};
  gContext = &context;
  mspack_system system = {openFile, closeFile, readFile, writeFile,
                          seekFile, tellFile,  message,  allocate,
                          release,  copy,      nullptr};
  mscab_decompressor* reader = mspack_create_cab_decompressor(&system);
  mscabd_cabinet* opened =
      reader != nullptr ? reader->open(reader, kCabinetName) : nullptr;
  if (opened != nullptr) {
    for (mscabd_file* file = opened->files; file != nullptr;
         file = file->next) {
      std::uint32_t folder = 0;
      for (mscabd_folder* each = opened->folders;
           each != nullptr && each != file->folder; each = each->next)
        ++folder;
      context.output.clear();
      const bool extracted =
          reader->extract(reader, file, "member") == MSPACK_ERR_OK;
      members->push_back({file->filename, file->length, file->offset, folder,
                          extracted, context.output});
    }
    reader->close(reader, opened);
  }
  if (reader != nullptr) mspack_destroy_cab_decompressor(reader);
  gContext = nullptr;
  return opened != nullptr;
}

}  // namespace mspackreader

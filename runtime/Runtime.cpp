// Runtime.cpp - runtime start and stop with the exit-callback list, and
// zero-filled heap blocks.
#include "runtime/Runtime.h"

#include <cstring>  // memcpy: a grown block keeps its bytes

#include "runtime/Platform.h"

namespace {

bool gStarted = false;
ExitCallbackList* gExitCallbacks = nullptr;

// Takes the head node off the list, or returns null when it is empty.
ExitCallbackNode* takeHead(ExitCallbackList* list) {
  ExitCallbackNode* node = list->head;
  if (node == nullptr) return nullptr;
  list->head = node->next;
  if (list->head != nullptr) {
    list->head->previous = nullptr;
  } else {
    list->tail = nullptr;
  }
  node->previous = nullptr;
  node->next = nullptr;
  --list->count;
  return node;
}

}  // namespace

// Identification of the runtime, kept in the program image.
[[gnu::used]] extern const char kRuntimeIdentification[] =
    "setuphdr console runtime 1.0 - Copyright (c) 2026 the setuphdr authors";

bool appStart() {
  if (platform::versionSupported()) {
    gExitCallbacks = static_cast<ExitCallbackList*>(
        allocZeroed(sizeof(ExitCallbackList)));
    if (gExitCallbacks != nullptr) gStarted = true;
  }
  return gStarted;
}

void appStop() {
  if (gExitCallbacks == nullptr) return;
  if (gExitCallbacks->count != 0) {
    while (ExitCallbackNode* node = takeHead(gExitCallbacks)) {
      node->callback();
      freeBlock(node);
    }
  }
  freeBlock(gExitCallbacks);
  gExitCallbacks = nullptr;
  gStarted = false;
}

bool appAtExit(void (*callback)()) {
  if (gExitCallbacks == nullptr) return false;
  auto* node =
      static_cast<ExitCallbackNode*>(allocZeroed(sizeof(ExitCallbackNode)));
  if (node == nullptr) return false;
  node->callback = callback;
  node->previous = gExitCallbacks->tail;
  if (gExitCallbacks->tail != nullptr) {
    gExitCallbacks->tail->next = node;
  } else {
    gExitCallbacks->head = node;
  }
  gExitCallbacks->tail = node;
  ++gExitCallbacks->count;
  return true;
}

bool appStarted() { return gStarted; }

void* allocZeroed(std::size_t size) { return platform::allocZeroed(size); }

void freeBlock(void* block) { platform::freeBlock(block); }

bool growBlock(unsigned char** block, std::uint32_t used, std::uint32_t* room,
               std::uint64_t more) {
  const std::uint64_t needed = std::uint64_t{used} + more;
  if (needed <= *room) return true;
  std::uint64_t grown = *room == 0 ? 2 * more : *room;
  while (grown < needed) grown *= 2;
  if (grown > 0xFFFFFFFFull) grown = needed;
  if (grown > 0xFFFFFFFFull) return false;
  auto* bigger =
      static_cast<unsigned char*>(allocZeroed(static_cast<std::size_t>(grown)));
  if (bigger == nullptr) return false;
  if (used != 0) std::memcpy(bigger, *block, used);
  freeBlock(*block);
  *block = bigger;
  *room = static_cast<std::uint32_t>(grown);
  return true;
}

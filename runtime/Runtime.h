// Runtime.h - the frame of every run (start and stop) and heap blocks.
#ifndef SETUPHDR_RUNTIME_RUNTIME_H
#define SETUPHDR_RUNTIME_RUNTIME_H

#include <cstddef>
#include <cstdint>

/// One registered exit callback.
struct ExitCallbackNode {
  ExitCallbackNode* previous;
  ExitCallbackNode* next;
  void (*callback)();
};

/// Callbacks run by appStop, head first. The tool registers none; the list
/// exists, empty, from appStart to appStop.
struct ExitCallbackList {
  ExitCallbackNode* head;
  ExitCallbackNode* tail;
  std::uint32_t count;
};

/// Checks the platform and creates the exit-callback list. Returns false on
/// an unsupported system or when memory is short.
bool appStart();

/// Runs and frees every registered callback, then frees the list. Does
/// nothing when appStart did not create one.
void appStop();

/// Appends a callback to the list of a started runtime. False when the
/// runtime is not started or memory is short.
bool appAtExit(void (*callback)());

/// True between a successful appStart and appStop.
bool appStarted();

/// Zero-filled heap block, or null; freeBlock ignores null.
void* allocZeroed(std::size_t size);
void freeBlock(void* block);

/// Makes room for more bytes behind the first used bytes of *block (a heap
/// block of *room bytes, or null with *room 0), doubling its room (at least
/// to twice more) and keeping those bytes. False when the room would reach
/// 4 GiB or memory is short; the block is then as it was.
bool growBlock(unsigned char** block, std::uint32_t used, std::uint32_t* room,
               std::uint64_t more);

#endif

// The task allocator: blocks that cross an interface and are freed by their receiver.
#include <cstdlib>

#include "platform/com/com.h"

void* CoTaskMemAlloc(std::size_t size) {
  // A request for 0 bytes still gives a block that can be freed, as on Windows.
  return std::malloc(size == 0 ? 1 : size);
}

void* CoTaskMemRealloc(void* block, std::size_t size) {
  if (block == nullptr) return CoTaskMemAlloc(size);
  if (size == 0) {
    std::free(block);
    return nullptr;
  }
  return std::realloc(block, size);
}

void CoTaskMemFree(void* block) {
  std::free(block);
}

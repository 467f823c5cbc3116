// The system calls that make a saved snapshot durable, behind function pointers so that
// tests can make them fail. Production code never changes them.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace tarnwick {

struct FileCalls {
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*fsync)(int fd);
  int (*rename)(const char* from, const char* to);
};

// The calls in use; the real ones unless a test has replaced them.
FileCalls& file_calls();

}  // namespace tarnwick

#pragma once

#include <windows.h>

#include "app/scoped_handle.h"

namespace handle_close {
inline void Kernel(HANDLE handle) { ::CloseHandle(handle); }
inline void Local(HLOCAL memory) { ::LocalFree(memory); }
}  // namespace handle_close

// Processes, threads and pipe ends.
using KernelHandle = ScopedHandle<HANDLE, &handle_close::Kernel>;
// Memory the system hands out with LocalAlloc (for example CommandLineToArgvW's array).
using LocalMemory = ScopedHandle<HLOCAL, &handle_close::Local>;

#pragma once

#include <cstddef>
#include <functional>

// Runs work(0) to work(count - 1), each once, on the calling thread and one
// more: hashing is most of an update's time, and a machine has two cores at
// least. After a failure no further index is handed out; the first failure is
// raised once both threads are done.
void RunOnTwoThreads(size_t count, const std::function<void(size_t)>& work);

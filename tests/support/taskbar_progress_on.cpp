#include "base/worker_messages.h"

// Linked into a test program in place of the build setting: the worker posts
// its progress as a launcher built with TESSIK_TASKBAR_PROGRESS does.
bool TaskbarProgressShown() { return true; }

#include "base/worker_messages.h"
#include "build_config.h"

bool TaskbarProgressShown() { return TaskbarProgressBuild; }

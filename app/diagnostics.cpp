#include "app/diagnostics.h"

int RunDiagnostics(bool) {
    return 1;  // not built yet: neither a pass (0) nor a check's failure code
}

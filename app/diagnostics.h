#pragma once

// The self-test (and, with `probe`, the live manifest probe). Returns the
// process exit code: 0 when every check passed.
int RunDiagnostics(bool probe);

#pragma once

#include <windows.h>

#include <string>

// A link-time seam (only in test programs linked with TESSIK_PROCESS_SEAM)
// for what Wine cannot show: Windows refusing to start a program that must
// run elevated (ERROR_ELEVATION_REQUIRED, 740) or that Windows security
// blocks (225, 226), and a launcher run as administrator.
namespace process_seam {

// CreateProcessW of a program whose path ends with `tail` (any letter case)
// fails with `error`, until Reset. The shell's starts are not touched.
void RefuseStarting(const std::wstring& tail, DWORD error);
// CreateProcessW calls refused so far.
int RefusedStarts();
// TokenElevation answers `elevated` for this process's token, until Reset.
void ReportElevated(bool elevated);
// ChangeWindowMessageFilterEx calls that allowed `message` since Reset.
int FilterOpenings(UINT message);
void Reset();

}  // namespace process_seam

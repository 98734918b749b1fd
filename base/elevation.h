#pragma once

// Whether this process runs with an elevated (administrator) token. False
// when Windows cannot tell.
bool ProcessRunsElevated();

#pragma once

#include <string>

// The application manifest Windows reads from an executable (an XML text,
// resource type 24) before it starts the program.

// The level its requestedExecutionLevel element asks for ("asInvoker",
// "highestAvailable", "requireAdministrator", as written), or empty when it
// names none. Read from the bytes as stored: UTF-8, or UTF-16 after its
// byte-order mark. Comments, processing instructions and CDATA are skipped,
// so a level left in a comment asks for nothing; the element may carry a
// namespace prefix (ms_asmv3:requestedExecutionLevel).
std::string RequestedExecutionLevel(const std::string& manifest);

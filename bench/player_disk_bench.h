#pragma once

// Runs the player's-disk row that argv names; -1 when it names none of them.
int RunPlayerDiskBench(int argc, wchar_t** argv);

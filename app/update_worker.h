#pragma once

#include <string>

// The game manifest's address: TESSIK_UPDATE_MANIFEST, or the default on the
// update host.
std::wstring GameManifestAddress();

// One whole update run, the body of the worker thread: launcher check, game
// manifest, install when needed, game start, and the fall-back to the stored
// build. Reports only through messages to mainWindow.
void RunUpdateWorker();

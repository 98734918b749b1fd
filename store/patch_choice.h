#pragma once

#include <optional>
#include <string>
#include <vector>

#include "format/build_index.h"

// Which of the index's patches an update takes (no Windows calls): the patch
// from the recorded version; else one from another stored build, newest first
// by the launcher's version order; else none, and the full archive is used.
// From each version a delta patch is preferred, since it carries only the
// changed bytes, but only from a build that is stored, as its copies read it.
// `stored` names the folders under "versions" other than the new build's.
std::optional<IndexPatch> ChoosePatch(const std::vector<IndexPatch>& patches,
                                      const std::string& recorded,
                                      const std::vector<std::wstring>& stored);

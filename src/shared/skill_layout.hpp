// What both modules know of a skill directory: it holds `SKILL.md` and
// `data/VERSION.json` (whose member "version" names its version).  The
// texts are added to the interned names (native/names.hpp).
#pragma once

#include "shared/module_layer.hpp"

#include "native/names.hpp"

namespace tarvek::names {

inline const Name skill_md{"SKILL.md"};
inline const Name data{"data"};
inline const Name version_json{"VERSION.json"};
inline const Name version{"version"};

}  // namespace tarvek::names

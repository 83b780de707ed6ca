// The build profiles: which manifest flag admits a skill to each release
// profile's artifacts, and the profiles that admit every skill without
// reading the manifest.  `_PROFILE_KEYS`, `_profile_key`, admission and the
// release check all read this one table.
#pragma once

#include "shared/module_layer.hpp"

#include <array>

#include "packaging/names.hpp"

namespace tarvek::packaging {

using native::Name;

struct ReleaseArtifact {
  const Name& profile;
  const Name& artifact;
  const Name& key;  // the manifest flag that admits a skill to it
};

// In the order `_PROFILE_KEYS` holds them (profiles, then their artifacts);
// the keys in this order are also the order in which the release check
// looks at an entry's flags.
inline const std::array<ReleaseArtifact, 4> kReleaseArtifacts{{
    {names::python_release, names::sdist, names::source},
    {names::python_release, names::wheel, names::wheel},
    {names::binary_minimal, names::binary, names::binary},
    {names::binary_full_profile, names::binary, names::binary_full},
}};

// Profiles without an admission key: every skill directory goes in.
inline const std::array<const Name*, 2> kAdmitAllProfiles{&names::dev, &names::internal};

// `DEFAULT_PROFILE` and `RELEASE_PROFILE`.
inline const Name& kDefaultProfile = names::dev;
inline const Name& kReleaseProfile = names::python_release;

// What `collect_skill_datas` selects for: the single-file binary, under
// this profile unless another is given.
inline const Name& kBinaryArtifact = names::binary;
inline const Name& kBinaryDefaultProfile = names::binary_minimal;

}  // namespace tarvek::packaging

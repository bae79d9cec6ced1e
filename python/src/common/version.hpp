// The package version, [project] version of pyproject.toml, handed to the
// compiler by the build as MORVANTA_VERSION.
#pragma once

#ifndef MORVANTA_VERSION
#error "MORVANTA_VERSION is defined by the build (python/CMakeLists.txt)"
#endif

namespace morvanta::py {

inline constexpr const char kVersion[] = MORVANTA_VERSION;

}  // namespace morvanta::py

// Constants of the environment manager that are not part of its interface.
#ifndef ENV_ENV_INTERNAL_H_
#define ENV_ENV_INTERNAL_H_

#include <string>

namespace env_internal {

// The domain this library is built for: "dp" (the other known one is "sea").
extern const char kBuildDomain[];
// The framework's preload library, "/usr/lib64/libkov.so.1".
extern const std::string kovLibDefaultPath;
// "MERIDIAN_RUN_MODE", the variable that holds the run mode.
extern const std::string runModeVarName;

}  // namespace env_internal

#endif  // ENV_ENV_INTERNAL_H_

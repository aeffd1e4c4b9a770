// Internals of the boot configuration centre, reachable by tests.
#ifndef ENV_CMDLINE_INTERNAL_H_
#define ENV_CMDLINE_INTERNAL_H_

namespace cmdline_internal {

// The file that a centre made by the default constructor reads, normally
// "/proc/cmdline". Tests point it elsewhere before the first GetInstance() of
// their process, to see what the process-wide centre does with a missing or
// empty command line. Null restores the default.
void SetDefaultCmdlinePath(const char* path);

}  // namespace cmdline_internal

#endif  // ENV_CMDLINE_INTERNAL_H_

// EnvManager: who this process is and how its environment is prepared.
//
// All operations are static. EnvManager never logs, so it may be called from
// inside a log line. Integer results are 0 or a negated errno value.
#ifndef ENV_MANAGER_H_
#define ENV_MANAGER_H_

#include <mutex>
#include <string>

#include "heartbeat_export.h"

// The process name given to the platform's process manager.
constexpr char PROCMGR[] = "PROCMGR";

class HEARTBEAT_API EnvManager {
public:
    // The process-wide object; its only member is envMutex.
    static EnvManager& Instance();

    // ---- Process name ----

    // The cached process name (at most 100 characters, possibly empty). The
    // first call fills it once, unless SetProcName ran before: from PROC_NAME,
    // or else from /proc/<pid>/comm, where "process-manager" becomes "PROCMGR".
    // The pointer stays valid for the life of the process.
    static const char* ProcName();

    // Copies `name` into procName; a name over 100 characters empties it.
    // Takes no lock.
    static void SetProcName(const std::string& name);

    // Sets procName from the kernel's command name of this process. Leaves it
    // unchanged when /proc/<pid>/comm cannot be read or its word is longer than
    // 16 characters.
    static void EnableDefaultProcName();

    // ---- Domain and fixed prefixes ----

    static int HostName();                   // 1 for a "dp" build, 2 for "sea"
    static bool IsSeaDomain();               // HostName() == 2
    static std::string GetLocalDomainName(); // the build domain and ":"
    static std::string FifoPrefix();         // "/dev/shm/kov/lumo/"
    static std::string SeaFifoDirPrefix();   // "/local"

    // ---- Environment preparation ----

    // 0 when `path` contains the framework library path "/usr/lib64/libkov.so.1";
    // -36 when it is longer than 4096 characters; -22 otherwise.
    static int CheckKovlibPath(const std::string& path);

    // Sets the variable unconditionally; for PROC_NAME also the cached name.
    static int SetEnv(const std::string& name, const std::string& value);

    // Puts the framework library (KOV_LIB_PATH, or the default path) in front of
    // LD_PRELOAD unless it is there already. Idempotent.
    static int UpdateLdPreload();

    // Sets PROC_NAME to `name`, KOV_STATUS to "READY" and updates LD_PRELOAD,
    // stopping at the first failure. Serialised by envMutex.
    static int EnvInit(const std::string& name);

    // Whether PROC_NAME is set and either KOV_STATUS is set or LD_PRELOAD names
    // the framework library. Serialised by envMutex.
    static bool CheckEnvPreparation();

    // MERIDIAN_RUN_MODE, fixed for the life of the process once it was read
    // non-empty; empty while it is unset.
    static std::string GetRunMode();

    // The cached process name, NUL-terminated, at most 100 characters.
    static char procName[101];
    // A flag for other components of the platform; the library never uses it.
    static bool kovPerfFlag;

    // Serialises the first-use initialisation of procName, EnvInit,
    // CheckEnvPreparation and the slow path of GetRunMode. Taken after the log
    // mutex when a log line asks for the process name; never before it.
    std::mutex envMutex;
};

#endif  // ENV_MANAGER_H_

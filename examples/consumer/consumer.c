/* libheartbeat from C: the client and checking operations, the record and the
 * status snapshot through the same headers a C++ program includes. Watches
 * its own thread and kicks it. Exit status 0 when the library behaved.
 *
 *   cc -std=c11 consumer.c $(pkg-config --cflags --libs libheartbeat)
 */
#include <errno.h>
#include <heartbeat.h>
#include <heartbeat_message.h>
#include <heartbeat_status.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    static const char thread[] = "c-consumer";
    const size_t len = strlen(thread);
    HeartBeatMessage record;
    memset(&record, 0, sizeof(record));

    const int registered = RegisterThreadForDog(thread, len, 2);
    const int kicked = KickingTheDog(thread, len);
    const int unregistered = UnregisterThreadForDog(thread, len);
    /* Both refused by the argument checks, before any pipe is opened: a length
     * that is not the name's, and no configuration. */
    const HeartBeatConfig config = {3};
    const int badLength = RegisterSendHeartBeat(thread, len + 1, "PROCMGR", 7, &config);
    const int noConfig = RegisterSendHeartBeat(thread, len, "PROCMGR", 7, NULL);
    struct HeartBeatClientStatus status; /* the snapshot's record is plain C too */
    (void)status;

    printf("c consumer: record %zu bytes, watchdog %d/%d/%d, refused %d/%d\n", sizeof(record),
           registered, kicked, unregistered, badLength, noConfig);
    return sizeof(record) == 232 && registered == 0 && kicked == 0 && unregistered == 0 &&
                   badLength == -EINVAL && noConfig == -EINVAL
               ? 0
               : 1;
}

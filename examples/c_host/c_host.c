/* A complete host for the Quorix driver module in C: it loads libQuorix.so from its own folder,
 * where its own tag database (libTarvoDbm.so) and message output (libDezudurE.so) lie beside a
 * link to the module, opens a configuration, registers tags of the example plant, starts
 * communication, prints the values the driver delivers, writes a value, reads a station's
 * statistics and information, stops and unloads the module.
 *
 *   c_host CONFIG [SECONDS]
 */
#include <dlfcn.h>
#include <libgen.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qx_host.h"

int32_t CHostAddTag(const char* name); /* our libTarvoDbm.so */

struct TagSpec {
    const char* name;
    const char* device; /* "<driver>.<station>" */
    const char* address;
    int32_t dataType;
    int32_t size;
};

static const struct TagSpec kTags[] = {
    {"Press.Count", "DLU.PLC1", "D0100", QX_DT_UINT16, 2},
    {"Press.Setpoint", "DLU.PLC1", "D0110", QX_DT_UINT16, 2},
    {"Press.Run", "DLU.PLC1", "M0000", QX_DT_BIT, 1},
    {"Press.Recipe", "DLU.PLC1", "D0120", QX_DT_STRING, 8},
};
#define TAG_COUNT (sizeof kTags / sizeof kTags[0])

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: c_host CONFIG [SECONDS]\n");
        return 2;
    }
    const int seconds = argc > 2 ? atoi(argv[2]) : 4;

    /* The module from this program's folder: it looks for the host libraries beside itself. */
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = '\0';
    char modulePath[PATH_MAX];
    snprintf(modulePath, sizeof modulePath, "%s/libQuorix.so", dirname(self));
    void* module = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
    void** table = module ? (void**)dlsym(module, "DrvFuncTable") : NULL;
    if (!table || !table[QX_OPEN]) {
        fprintf(stderr, "cannot load %s: %s\n", modulePath, dlerror());
        return 1;
    }
    printf("driver %s\n", ((QxGetNameFn)table[QX_GET_NAME])());

    /* Paths and names are CP949; plain ASCII is the same in it. */
    const int32_t index = ((QxOpenFn)table[QX_OPEN])(argv[1]);
    if (index < 0) {
        fprintf(stderr, "the driver cannot open %s\n", argv[1]);
        return 1;
    }
    const int32_t rc = ((QxStartFn)table[QX_START])(index);
    if (rc != 0) {
        /* -12: no I/O service, -13: window not mapped, -14: no board answering. */
        fprintf(stderr, "the board did not start (%d)\n", rc);
        ((QxStopFn)table[QX_STOP])(index);
        return 1;
    }

    /* Registered after the start that opens the board and before polling runs. */
    int32_t handles[TAG_COUNT];
    for (size_t i = 0; i < TAG_COUNT; ++i) {
        const int32_t id = CHostAddTag(kTags[i].name);
        handles[i] = ((QxRegisterTagFn)table[QX_REGISTER_TAG])(
            index, kTags[i].device, kTags[i].address, kTags[i].dataType, kTags[i].size, id);
        printf("tag %s: %s\n", kTags[i].name, handles[i] < 0 ? "refused" : "registered");
    }
    ((QxEndRegistrationFn)table[QX_END_REGISTRATION])(index);
    ((QxSetActiveFn)table[QX_SET_ACTIVE])(index, NULL, 1); /* polling starts */
    sleep(1);

    /* A write: the driver copies the value before it returns. */
    QxTagVal* value = QxTagValNew();
    QxTagValSetNumber(value, 1234);
    const int32_t wrote = ((QxWriteTagFn)table[QX_WRITE_TAG])(index, handles[1], value);
    QxTagValFree(value);
    printf("write Press.Setpoint = 1234: %s\n", wrote == 0 ? "queued" : "refused");
    sleep(seconds > 1 ? seconds - 1 : 1);

    int32_t writes = 0, writeFailures = 0, reads = 0, readFailures = 0;
    ((QxGetStatisticsFn)table[QX_GET_STATISTICS])(index, "PLC1", &writes, &writeFailures, &reads,
                                                  &readFailures);
    printf("statistics PLC1: %d writes, %d failed, %d reads, %d failed\n", writes, writeFailures,
           reads, readFailures);
    QxText* number = QxTextNew();
    QxText* description = QxTextNew();
    ((QxGetStationInfoFn)table[QX_GET_STATION_INFO])(index, "PLC1", number, description);
    printf("station PLC1: number %s, description \"%s\"\n", QxTextData(number, NULL),
           QxTextData(description, NULL));
    QxTextFree(number);
    QxTextFree(description);

    ((QxSetActiveFn)table[QX_SET_ACTIVE])(index, NULL, 0);
    ((QxStopFn)table[QX_STOP])(index); /* waits for the driver's threads */
    dlclose(module);                   /* only after the stop */
    printf("stopped\n");
    return 0;
}

/* The C host's own tag database, as the module loads it: libTarvoDbm.so exporting `FuncTable`,
 * with SetTagValue at position 23 and GetTagName at 29. The host adds its tags with
 * CHostAddTag; values are printed as they arrive (on the driver's delivery thread). */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "qx_host.h"

#define EXPORT __attribute__((visibility("default")))
#define MAX_TAGS 64

static char names[MAX_TAGS][64];
static int count;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

/* Tag ids start at 1; 0 when the table is full. */
EXPORT int32_t CHostAddTag(const char* name) {
    pthread_mutex_lock(&lock);
    int32_t id = 0;
    if (count < MAX_TAGS) {
        snprintf(names[count], sizeof names[count], "%s", name);
        id = ++count;
    }
    pthread_mutex_unlock(&lock);
    return id;
}

static int32_t SetTagValue(int32_t tagId, const QxTagVal* value) {
    pthread_mutex_lock(&lock);
    const char* name = tagId >= 1 && tagId <= count ? names[tagId - 1] : "?";
    /* The value is the driver's, valid during the call only: read it now. */
    if (QxTagValIsText(value))
        printf("value %s = \"%s\"\n", name, QxTagValText(value, NULL));
    else
        printf("value %s = %g\n", name, QxTagValNumber(value));
    fflush(stdout);
    pthread_mutex_unlock(&lock);
    return 1;
}

static int32_t GetTagName(int32_t tagId, QxText* name) {
    pthread_mutex_lock(&lock);
    const int known = tagId >= 1 && tagId <= count;
    if (known) QxTextAssign(name, names[tagId - 1], strlen(names[tagId - 1]));
    pthread_mutex_unlock(&lock);
    return known;
}

EXPORT void* FuncTable[QX_DBM_SLOTS] = {
    [QX_DBM_SET_TAG_VALUE] = (void*)&SetTagValue,
    [QX_DBM_GET_TAG_NAME] = (void*)&GetTagName,
};

/* The C host's own message output, as the module loads it: libDezudurE.so exporting
 * `FuncTable`, with MessageOutput at position 19. Texts are CP949; the ASCII part prints as is. */
#include <stdint.h>
#include <stdio.h>

#include "qx_host.h"

static void MessageOutput(int32_t value, int32_t classWord, const char* text) {
    (void)value;
    printf("message (class %d) %s\n", classWord & 0xFF, text);
    fflush(stdout);
}

__attribute__((visibility("default"))) void* FuncTable[QX_DEZ_SLOTS] = {
    [QX_DEZ_MESSAGE_OUTPUT] = (void*)&MessageOutput,
};

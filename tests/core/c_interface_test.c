/* The public header compiles as plain C and its records behave as C callers
 * expect: a zero-filled context, the erased tail of stm32SetBuffer, the log
 * channel's pieces and line ends, the Intel HEX entry point. */
#include <stdio.h>
#include <string.h>

#include "stm32.h"

static int failures = 0;
static int checks = 0;

#define CHECK(cond)                                                     \
    do {                                                                \
        ++checks;                                                       \
        if (!(cond)) {                                                  \
            ++failures;                                                 \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                               \
    } while (0)

struct Captured {
    char text[256];
    unsigned calls;
};

static int capture(void *userData, const char *text, uint32_t length, int continuation) {
    struct Captured *captured = (struct Captured *)userData;
    size_t used = strlen(captured->text);
    (void)continuation;
    if (used + length + 1 < sizeof captured->text) {
        memcpy(captured->text + used, text, length);
        captured->text[used + length] = continuation ? '\0' : '\n';
        captured->text[used + length + (continuation ? 0 : 1)] = '\0';
    }
    ++captured->calls;
    return 0;
}

int main(void) {
    Stm32Context *context = stm32Init();
    uint8_t flash[64];
    uint8_t image[64];
    struct Captured captured;
    char hex[] = ":020000040800F2\n:0400000001020304F2\n:00000001FF\n";
    uint32_t length = 1;

    CHECK(context != NULL);
    if (context == NULL) return 1;
    CHECK(context->logCallback == NULL && context->logLineLength == 0 && context->flashBuffer == NULL);

    memset(image, 0x11, sizeof image);
    stm32SetBuffer(context, flash, (int32_t)sizeof flash, image, 10);
    CHECK(image[9] == 0x11 && image[10] == 0xFF && image[63] == 0xFF);
    CHECK(context->imageLength == 10 && context->flashBufferSize == 64);

    CHECK(stm32UnitMultiplier('K') == 1024 && stm32UnitMultiplier('M') == 1048576 && stm32UnitMultiplier('k') == 1);

    memset(&captured, 0, sizeof captured);
    stm32RegisterLogCallback(context, &captured, capture);
    /* An unknown command code is refused without a line (or libusb failed to start). */
    {
        int32_t result = stm32Command(context, -1, 0x08000000u, 0, 0, 4);
        CHECK(result == STM32_RESULT_NO_TARGET || result == STM32_RESULT_USB_INIT);
        CHECK(context->logLineLength == 0);
    }

    memset(image, 0xFF, sizeof image);
    CHECK(decodeIntelHex(hex, 0x08000000u, image, (uint32_t)sizeof image, &length) == 4);
    CHECK(length == 4 && image[0] == 1 && image[3] == 4 && image[4] == 0xFF);

    stm32Exit(context);
    printf("c interface: %d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}

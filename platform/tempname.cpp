// The temporary's name, shared by both systems' layers.
#include "platform/platform.h"

uint32_t composeTemporaryName(char* name, uint32_t folderLength, uint32_t pathLimit, uint32_t value) {
    static const char hex[] = "0123456789abcdef";
    static const char usual[] = ".symweld-";
    static const char shorter[] = ".sw";
    const uint32_t digits = 8;
    uint32_t room = folderLength < pathLimit ? pathLimit - folderLength : 0;
    const char* prefix = usual;
    uint32_t prefixLength = sizeof usual - 1;
    uint32_t count = digits;
    if (room < prefixLength + digits) {
        prefix = shorter;
        prefixLength = sizeof shorter - 1;
        if (room < prefixLength + 2) {
            name[0] = 0;
            return 0;
        }
        count = room - prefixLength < digits ? room - prefixLength : digits;
    }
    uint32_t length = 0;
    while (length < prefixLength) {
        name[length] = prefix[length];
        ++length;
    }
    for (uint32_t i = 0; i < count; ++i) name[length++] = hex[(value >> (28 - 4 * i)) & 15];
    name[length] = 0;
    return length;
}

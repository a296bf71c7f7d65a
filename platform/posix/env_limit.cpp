// A time limit that tests may shorten through the environment: plain C, the
// same on the instrument (where the variables are never set) and on Linux.
#include "platform/platform.h"

#include <stdlib.h>

long platform_shortened_limit(const char* variable, long limit)
{
    const char* s = getenv(variable);
    if (s == NULL || *s == '\0')
        return limit;
    char* end = NULL;
    const long v = strtol(s, &end, 10);
    return *end == '\0' && v > 0 && v < limit ? v : limit;
}

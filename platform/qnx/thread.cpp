// The instrument's fixed thread priorities. QNX Neutrino lets any process
// use priority 4 in every policy (below the default 10: a background
// thread), so it is set as it stands; the policy stays the attribute
// object's default.
#include "platform/platform.h"

#include <errno.h>
#include <sched.h>
#include <string.h>

int platform_thread_attr_priority(pthread_attr_t* attr, int priority)
{
    if (attr == NULL)
        return EINVAL;
    int rc = pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
    sched_param param;
    memset(&param, 0, sizeof param);
    if (rc == 0)
        rc = pthread_attr_getschedparam(attr, &param);
    if (rc != 0)
        return rc;
    param.sched_priority = priority;
    return pthread_attr_setschedparam(attr, &param);
}

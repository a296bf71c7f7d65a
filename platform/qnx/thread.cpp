// The instrument's fixed thread priorities. QNX Neutrino lets any process
// use priority 4 in every policy (below the default 10: a background
// thread), so it is set as it stands; the policy stays the attribute
// object's default.
#include "platform/platform.h"

#include <cerrno>
#include <sched.h>

int platform_thread_attr_priority(pthread_attr_t* attr, int priority)
{
    if (attr == nullptr)
        return EINVAL;
    int rc = pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
    sched_param param {};
    if (rc == 0)
        rc = pthread_attr_getschedparam(attr, &param);
    if (rc != 0)
        return rc;
    param.sched_priority = priority;
    return pthread_attr_setschedparam(attr, &param);
}

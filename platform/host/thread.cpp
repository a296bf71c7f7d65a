// The instrument's fixed thread priorities on Linux. On the instrument (QNX)
// priority 4 is valid in the default policy and is set as it stands; Linux's
// default policy, SCHED_OTHER, accepts only priority 0, and the real-time
// policies need a privilege that a CGI process does not have.
#include "platform/platform.h"

#include <cerrno>
#include <sched.h>

int platform_thread_attr_priority(pthread_attr_t* attr, int priority)
{
    if (attr == nullptr)
        return EINVAL;
    int rc = pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
    if (rc == 0)
        rc = pthread_attr_setschedpolicy(attr, SCHED_OTHER);
    if (rc != 0)
        return rc;
    // Explicit scheduling is kept, with the priority clamped into the policy's
    // range, so that pthread_create accepts the attributes unprivileged.
    sched_param param{};
    const int lo = sched_get_priority_min(SCHED_OTHER);
    const int hi = sched_get_priority_max(SCHED_OTHER);
    param.sched_priority = priority < lo ? lo : (priority > hi ? hi : priority);
    return pthread_attr_setschedparam(attr, &param);
}

// QNX 6.4 has only <sys/poll.h>: the product includes that one.
#error "QNX 6.4 has no <poll.h>: include <sys/poll.h>"

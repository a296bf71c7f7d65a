// Greets the query string's "who": the layer's main() parsed it before calling us.
#include <cgi/cgi.h>

int cgiMain()
{
    char who[64];
    if (cgiFormString("who", who, sizeof who) != cgiFormSuccess)
        return 1;
    std::fprintf(cgiOut, "Content-Type: text/plain\r\n\r\nHello, %s\n", who);
    return 0;
}

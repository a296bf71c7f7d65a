// The process entry: the web server starts the program once per request.
#include "cgi/cgi_internal.h"

int main(int, char**)
{
    // A parse failure ends the run before the application sees a half request.
    if (cgiCaptureAndParse() != cgiParseSuccess)
        return -1;
    int status = cgiMain();
    cgiFreeResources();
    return status;
}

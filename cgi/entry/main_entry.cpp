// The process entry: the web server starts the program once per request.
#include "cgi/cgi_internal.h"

int main(int, char**)
{
    // The web server ends a run whose client went away: its temporary files
    // go with it, and a page written to a closed connection just fails.
    cgiEndRunsCleanly();
    // A parse failure ends the run before the application sees a half request.
    if (cgiCaptureAndParse() != cgiParseSuccess)
        return -1;
    int status = cgiMain();
    cgiFreeResources();
    return status;
}

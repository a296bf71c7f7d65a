// The process entry: the web server starts the program once per request.
#include "cgi/cgi_internal.h"
#include "platform/platform.h"

int main(int, char**)
{
    // The web server ends a run whose client went away: its temporary files
    // go with it, and a page written to a closed connection just fails.
    platform_handle_termination(cgiRemoveTempFilesNow);
    // A parse failure ends the run before the application sees a half request.
    if (cgiCaptureAndParse() != cgiParseSuccess)
        return -1;
    int status = cgiMain();
    cgiFreeResources();
    return status;
}

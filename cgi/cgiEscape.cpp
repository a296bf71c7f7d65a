// Text for HTML content and for double-quoted attribute values, written to
// cgiOut. Nothing is interpreted: an entity already in the input is escaped too.
#include "cgi/cgi_internal.h"

#include <string.h>

namespace {

bool emit(const char* text)
{
    return fputs(text, cgiOut) >= 0;
}

bool emit(char c)
{
    return putc(c, cgiOut) != EOF;
}

}  // namespace

cgiFormResultType cgiHtmlEscapeData(const char* data, int len)
{
    for (int i = 0; i < len; ++i) {
        bool ok;
        switch (data[i]) {
        case '<': ok = emit("&lt;"); break;
        case '&': ok = emit("&amp;"); break;
        case '>': ok = emit("&gt;"); break;
        default: ok = emit(data[i]); break;
        }
        if (!ok)
            return cgiFormIO;
    }
    return cgiFormSuccess;
}

cgiFormResultType cgiHtmlEscape(const char* s)
{
    return cgiHtmlEscapeData(s, static_cast<int>(strlen(s)));
}

cgiFormResultType cgiValueEscapeData(const char* data, int len)
{
    for (int i = 0; i < len; ++i) {
        bool ok = data[i] == '"' ? emit("&#34;") : emit(data[i]);
        if (!ok)
            return cgiFormIO;
    }
    return cgiFormSuccess;
}

cgiFormResultType cgiValueEscape(const char* s)
{
    return cgiValueEscapeData(s, static_cast<int>(strlen(s)));
}

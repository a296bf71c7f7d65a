// Form fields read as numbers, as choices from a fixed list, as every value
// of a name, and the list of names present.
#include "cgi/cgi_internal.h"

#include <stdlib.h>
#include <string.h>

const char* cgiFirstNonspaceChar(const char* s)
{
    return s + strspn(s, " \n\r\t");
}

namespace {

// Shared by the integer and the double accessor: the value read by parse when
// it starts (after blanks) with one of the allowed characters, else the default.
template <typename T, typename Parse>
cgiFormResultType numberField(const char* name, const char* allowed, Parse parse, T* result,
                              T defaultV)
{
    *result = defaultV;
    cgiFormEntry* e = cgiFormEntryFindFirst(name);
    if (e == NULL)
        return cgiFormNotFound;
    if (e->value[0] == '\0')
        return cgiFormEmpty;
    const char* first = cgiFirstNonspaceChar(e->value);
    if (*first == '\0' || strchr(allowed, *first) == NULL)
        return cgiFormBadType;
    *result = parse(e->value);
    return cgiFormSuccess;
}

template <typename T>
cgiFormResultType clamp(cgiFormResultType r, T* result, T min, T max)
{
    if (r != cgiFormSuccess)
        return r;
    if (*result < min) {
        *result = min;
        return cgiFormConstrained;
    }
    if (*result > max) {
        *result = max;
        return cgiFormConstrained;
    }
    return cgiFormSuccess;
}

int choiceIndex(const char* value, const char** choices, int total)
{
    for (int i = 0; i < total; ++i)
        if (strcmp(value, choices[i]) == 0)
            return i;
    return -1;
}

char** nullArray(size_t count)
{
    return static_cast<char**>(calloc(count + 1, sizeof(char*)));
}

// The number that s starts with (after blanks), whatever follows it.
double parseDouble(const char* s)
{
    return strtod(s, NULL);
}

// True when no entry before e in the list has e's name.
bool firstOfItsName(cgiFormEntry* e)
{
    for (cgiFormEntry* p = cgiFormEntryFirst; p != e; p = p->next)
        if (strcmp(p->attr, e->attr) == 0)
            return false;
    return true;
}

}  // namespace

cgiFormResultType cgiFormInteger(const char* name, int* result, int defaultV)
{
    return numberField(name, "0123456789-+", cgiAtoi, result, defaultV);
}

cgiFormResultType cgiFormIntegerBounded(const char* name, int* result, int min, int max,
                                        int defaultV)
{
    return clamp(cgiFormInteger(name, result, defaultV), result, min, max);
}

cgiFormResultType cgiFormDouble(const char* name, double* result, double defaultV)
{
    cgiFormResultType r = numberField(name, "0123456789.-+", parseDouble, result, defaultV);
    // "+nan" passes the first-character test, but NaN is no number and lies
    // within no bounds: it is refused like any other text. NaN is the one
    // value unequal to itself.
    if (r == cgiFormSuccess && *result != *result) {
        *result = defaultV;
        return cgiFormBadType;
    }
    return r;
}

cgiFormResultType cgiFormDoubleBounded(const char* name, double* result, double min, double max,
                                       double defaultV)
{
    return clamp(cgiFormDouble(name, result, defaultV), result, min, max);
}

cgiFormResultType cgiFormSelectSingle(const char* name, const char** choicesText, int choicesTotal,
                                      int* result, int defaultV)
{
    cgiFormEntry* e = cgiFormEntryFindFirst(name);
    if (e == NULL) {
        *result = defaultV;
        return cgiFormNotFound;
    }
    int i = choiceIndex(e->value, choicesText, choicesTotal);
    *result = i >= 0 ? i : defaultV;
    return i >= 0 ? cgiFormSuccess : cgiFormNoSuchChoice;
}

cgiFormResultType cgiFormRadio(const char* name, const char** choicesText, int choicesTotal,
                               int* result, int defaultV)
{
    return cgiFormSelectSingle(name, choicesText, choicesTotal, result, defaultV);
}

cgiFormResultType cgiFormSelectMultiple(const char* name, const char** choicesText,
                                        int choicesTotal, int* result, int* invalid)
{
    for (int i = 0; i < choicesTotal; ++i)
        result[i] = 0;
    cgiFormEntry* e = cgiFormEntryFindFirst(name);
    if (e == NULL) {
        *invalid = 0;
        return cgiFormNotFound;
    }
    int hits = 0;
    int misses = 0;
    for (; e != NULL; e = cgiFormEntryFindNext()) {
        int i = choiceIndex(e->value, choicesText, choicesTotal);
        if (i >= 0) {
            result[i] = 1;
            ++hits;
        } else {
            ++misses;
        }
    }
    *invalid = misses;
    return hits > 0 ? cgiFormSuccess : cgiFormNotFound;
}

cgiFormResultType cgiFormCheckboxMultiple(const char* name, const char** valuesText,
                                          int valuesTotal, int* result, int* invalid)
{
    return cgiFormSelectMultiple(name, valuesText, valuesTotal, result, invalid);
}

cgiFormResultType cgiFormCheckboxSingle(const char* name)
{
    return cgiFormEntryFindFirst(name) != NULL ? cgiFormSuccess : cgiFormNotFound;
}

cgiFormResultType cgiFormStringMultiple(const char* name, char*** ptrToStringArray)
{
    size_t total = 0;
    for (cgiFormEntry* e = cgiFormEntryFindFirst(name); e != NULL; e = cgiFormEntryFindNext())
        ++total;
    char** strings = nullArray(total);
    if (strings == NULL) {
        *ptrToStringArray = NULL;
        return cgiFormMemory;
    }
    *ptrToStringArray = strings;
    if (total == 0)
        return cgiFormNotFound;
    size_t i = 0;
    for (cgiFormEntry* e = cgiFormEntryFindFirst(name); e != NULL; e = cgiFormEntryFindNext()) {
        // Normalising line breaks never lengthens a value, so its own size fits.
        int size = static_cast<int>(strlen(e->value)) + 1;
        strings[i] = static_cast<char*>(malloc(static_cast<size_t>(size)));
        if (strings[i] == NULL) {
            cgiStringArrayFree(strings);
            *ptrToStringArray = NULL;
            return cgiFormMemory;
        }
        cgiFormEntryString(e, strings[i], size, 1);
        ++i;
    }
    return cgiFormSuccess;
}

cgiFormResultType cgiFormEntries(char*** ptrToStringArray)
{
    size_t total = 0;
    for (cgiFormEntry* e = cgiFormEntryFirst; e != NULL; e = e->next)
        total += firstOfItsName(e) ? 1 : 0;
    char** names = nullArray(total);
    if (names == NULL) {
        *ptrToStringArray = NULL;
        return cgiFormMemory;
    }
    size_t i = 0;
    for (cgiFormEntry* e = cgiFormEntryFirst; e != NULL; e = e->next) {
        if (!firstOfItsName(e))
            continue;
        names[i] = cgiStrDup(e->attr);
        if (names[i++] == NULL) {
            cgiStringArrayFree(names);
            *ptrToStringArray = NULL;
            return cgiFormMemory;
        }
    }
    *ptrToStringArray = names;
    return cgiFormSuccess;
}

void cgiStringArrayFree(char** stringArray)
{
    if (stringArray == NULL)
        return;
    for (char** p = stringArray; *p != NULL; ++p)
        free(*p);
    free(stringArray);
}

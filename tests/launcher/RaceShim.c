/* Preloaded into kestrun to make the start-up script change at an exact
 * point of the launcher's reading, which no outside process can time:
 *   KESTRUN_REMOVE_BEFORE_OPEN: the script is removed just before it is opened;
 *   KESTRUN_REMOVE_AFTER_OPEN:  ... just after it is opened;
 *   KESTRUN_SHRINK_AFTER_SIZE:  it loses half its bytes once its size is taken. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char* script = "Orvik/boot.pyw";

FILE* fopen(const char* path, const char* mode)
{
    static FILE* (*real)(const char*, const char*);
    if (real == NULL)
        real = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "fopen");
    const int isScript = strcmp(path, script) == 0;
    if (isScript && getenv("KESTRUN_REMOVE_BEFORE_OPEN"))
        unlink(path);
    FILE* file = real(path, mode);
    if (isScript && getenv("KESTRUN_REMOVE_AFTER_OPEN"))
        unlink(path);
    return file;
}

long ftell(FILE* file)
{
    static long (*real)(FILE*);
    if (real == NULL)
        real = (long (*)(FILE*))dlsym(RTLD_NEXT, "ftell");
    const long position = real(file);
    if (position > 0 && getenv("KESTRUN_SHRINK_AFTER_SIZE"))
        truncate(script, position / 2);
    return position;
}

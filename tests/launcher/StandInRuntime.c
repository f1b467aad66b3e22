/* A stand-in for the interpreter runtime. It exports the embedding entries
 * the launcher binds (one of them left out per variant) and records, in the
 * current folder, which entries were called and the exact text handed over.
 * The text picks the statuses: "fail" makes the run report an uncaught
 * exception, "unflushable" makes the shutdown report a failure. */

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

static int finalizeStatus = 0;

static void record(const char* event)
{
    FILE* log = fopen("events.txt", "a");
    if (log != NULL) {
        fprintf(log, "%s\n", event);
        fclose(log);
    }
}

#ifndef WITHOUT_INITIALIZE
EXPORT void Py_InitializeEx(int installSignals)
{
    record(installSignals == 0 ? "Py_InitializeEx 0" : "Py_InitializeEx other");
}
#endif

#ifndef WITHOUT_RUN_STRING
EXPORT int PyRun_SimpleString(const char* text)
{
    FILE* out = fopen("handed.bin", "wb");
    if (out != NULL) {
        fwrite(text, 1, strlen(text), out);
        fclose(out);
    }
    record("PyRun_SimpleString");
    if (strncmp(text, "unflushable", 11) == 0)
        finalizeStatus = -1;
    return strncmp(text, "fail", 4) == 0 ? -1 : 0;
}
#endif

#ifndef WITHOUT_RUN_FILE
EXPORT int PyRun_SimpleFile(FILE* file, const char* name)
{
    (void)file;
    (void)name;
    record("PyRun_SimpleFile");
    return 0;
}
#endif

#ifndef WITHOUT_FINALIZE
EXPORT int Py_FinalizeEx(void)
{
    record("Py_FinalizeEx");
    return finalizeStatus;
}
#endif

// Stands in for a Windows command under the name the test copies it to
// (tracert.exe, ping.exe, explorer.exe): prints "<name> " and each argument
// as it arrived in brackets. While the file "hold-<name>" exists in the
// working directory it waits, holding "<name>.running" open unshared from
// before it prints so the test can tell whether it still runs, and then
// prints "<name> after hold".
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    char path[MAX_PATH];
    if (!GetModuleFileNameA(nullptr, path, MAX_PATH))
        return 2;
    char *name = strrchr(path, '\\') + 1;
    *strrchr(name, '.') = '\0';
    char hold[MAX_PATH + 8];
    char running[MAX_PATH + 8];
    snprintf(hold, sizeof hold, "hold-%s", name);
    snprintf(running, sizeof running, "%s.running", name);
    const bool held = GetFileAttributesA(hold) != INVALID_FILE_ATTRIBUTES;
    HANDLE lock = held ? CreateFileA(running, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr)
                       : INVALID_HANDLE_VALUE;

    _setmode(_fileno(stdout), _O_BINARY); // line feeds alone, as on Linux
    printf("%s ", name);
    for (int i = 1; i < argc; ++i)
        printf("[%s]", argv[i]);
    printf("\n");
    fflush(stdout);
    if (!held)
        return 0;
    while (GetFileAttributesA(hold) != INVALID_FILE_ATTRIBUTES)
        Sleep(20);
    CloseHandle(lock);
    printf("%s after hold\n", name);
    return 0;
}

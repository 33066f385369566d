// Stands in for a Windows command under the name the test copies it to
// (tracert.exe, ping.exe, explorer.exe): prints "<name> " and each argument
// as it arrived in brackets. While the file "hold-<name>" exists in the
// working directory it waits, holding "<name>.running" open unshared from
// before it prints so the test can tell whether it still runs (the handle
// closes as the process ends, however it ends), and then prints
// "<name> after hold".
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>

int main(int argc, char **argv)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name = strrchr(path, '\\') + 1;
    name.resize(name.rfind('.'));
    const auto hold = "hold-" + name;
    const bool held = GetFileAttributesA(hold.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (held)
        CreateFileA((name + ".running").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    _setmode(_fileno(stdout), _O_BINARY); // line feeds alone, as on Linux
    printf("%s ", name.c_str());
    for (int i = 1; i < argc; ++i)
        printf("[%s]", argv[i]);
    printf("\n");
    fflush(stdout);
    while (held && GetFileAttributesA(hold.c_str()) != INVALID_FILE_ATTRIBUTES)
        Sleep(20);
    if (held)
        printf("%s after hold\n", name.c_str());
}

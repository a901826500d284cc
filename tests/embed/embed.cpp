// An application that embeds the interpreter and starts it again in the same process: ROUNDS
// times over, Py_Initialize(), the script SCRIPT with ROUND set to the round's number, and
// Py_FinalizeEx(). Exits 1 when a round's script raises or its finalization fails.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ROUNDS SCRIPT\n", argv[0]);
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    std::FILE* file = std::fopen(argv[2], "rb");
    if (!file) {
        std::perror(argv[2]);
        return 2;
    }
    std::string script;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof(buffer), file)) > 0;) {
        script.append(buffer, got);
    }
    std::fclose(file);
    for (int round = 1; round <= rounds; ++round) {
        Py_Initialize();
        const std::string source = "ROUND = " + std::to_string(round) + "\n" + script;
        if (PyRun_SimpleString(source.c_str()) != 0) {
            std::fprintf(stderr, "round %d: the script raised\n", round);
            return 1;
        }
        if (Py_FinalizeEx() < 0) {
            std::fprintf(stderr, "round %d: finalization failed\n", round);
            return 1;
        }
    }
    return 0;
}

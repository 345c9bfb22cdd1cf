/* A host that embeds Python the way test executives do: it starts an
 * interpreter, runs a script in it, finalises it, and starts the next one in
 * the same process.
 *
 *     embed_host ROUNDS SCRIPT
 *
 * runs SCRIPT (Python source) in ROUNDS interpreters one after another and
 * exits with 0 when every run succeeded, else with the number of the first
 * failed round. */
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ROUNDS SCRIPT\n", argv[0]);
        return 64;
    }
    const int rounds = atoi(argv[1]);
    for (int round = 1; round <= rounds; ++round) {
        Py_Initialize();
        const int failed = PyRun_SimpleString(argv[2]) != 0;
        if (Py_FinalizeEx() < 0 || failed) {
            return round;
        }
    }
    return 0;
}

/* The interpreter of the 32-bit test lane: Debian's i386 libpython3.11,
   started as the python3 command starts it. Built by scripts/build.sh i386. */
#include <Python.h>

int main(int argc, char** argv) { return Py_BytesMain(argc, argv); }

/* Started in place of a cross-built program: runs it under qemu-user with the
 * argv[0] its caller chose (the logger finds its folder from argv[0]). Built for
 * the build machine, so test code and shells can exec it while binfmt_misc is
 * not there to run a foreign program by its name. exec, not fork: a signal sent
 * to this process id reaches the emulated program. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv) {
    char **args = calloc((size_t)argc + 8, sizeof *args);
    int n = 0;
    if (args == NULL) {
        perror("emulated_exec");
        return 127;
    }
    args[n++] = TEMP_EMULATOR;
    args[n++] = "-L";
    args[n++] = TEMP_SYSROOT;
    args[n++] = "-0";
    args[n++] = argc > 0 ? argv[0] : TEMP_TARGET;
    args[n++] = TEMP_TARGET;
    for (int i = 1; i < argc; ++i) {
        args[n++] = argv[i];
    }
    args[n] = NULL;
    execv(TEMP_EMULATOR, args);
    perror(TEMP_EMULATOR);
    return 127;
}

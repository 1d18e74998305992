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
    /* A test that runs a copy of the program (as another user, who can't
     * reach the build tree) names the copy here. */
    const char *copy = getenv("TEMP_EMULATED_TARGET");
    const char *target = copy != NULL && copy[0] != '\0' ? copy : TEMP_TARGET;
    int n = 0;
    if (args == NULL) {
        perror("emulated_exec");
        return 127;
    }
    args[n++] = TEMP_EMULATOR;
    args[n++] = "-L";
    args[n++] = TEMP_SYSROOT;
    args[n++] = "-0";
    args[n++] = argc > 0 ? argv[0] : (char *)target;
    args[n++] = (char *)target;
    for (int i = 1; i < argc; ++i) {
        args[n++] = argv[i];
    }
    args[n] = NULL;
    execv(TEMP_EMULATOR, args);
    perror(TEMP_EMULATOR);
    return 127;
}

// A child for the module tests: loads each library named on its command line,
// says so on standard output, and waits until it is killed.
#include <cstdio>
#include <dlfcn.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (!dlopen(argv[i], RTLD_NOW | RTLD_LOCAL)) {
            std::fprintf(stderr, "moduleloader: %s\n", dlerror());
            return 1;
        }
    }
    std::printf("loaded\n");
    std::fflush(stdout);
    for (;;)
        pause();
}

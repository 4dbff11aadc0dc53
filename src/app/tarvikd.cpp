#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tarvikd %s\n", TARVIK_VERSION);
        return 0;
    }
    std::fprintf(stderr, "tarvikd: not yet wired\n");
    return 1;
}
